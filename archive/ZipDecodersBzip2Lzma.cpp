// The bzip2 and LZMA decoders, through libbz2 and liblzma. A build without
// those libraries leaves this file out and reads such entries as entries of
// an unsupported method.
#include "archive/ZipDecoders.h"

#include "archive/ZipBytes.h"

#include <bzlib.h>
#include <lzma.h>

#include <algorithm>
#include <new>

namespace Folivant::Archive {

TExtractStatus InflateBzip2(const std::uint8_t* in, std::size_t size, TEntryOutput& output) {
    bz_stream bz{};
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
        throw std::bad_alloc();
    struct TEnd {
        bz_stream* B;
        ~TEnd() { BZ2_bzDecompressEnd(B); }
    } end{&bz};
    bz.next_in = const_cast<char*>(reinterpret_cast<const char*>(in));
    std::size_t left = size;
    std::uint8_t probe[1];
    for (;;) {
        if (bz.avail_in == 0 && left > 0) {
            const auto n = static_cast<unsigned>(std::min<std::size_t>(left, 1u << 30));
            bz.avail_in = n;
            left -= n;
        }
        std::size_t room = 0;
        const bool full = output.Room() == 0;
        std::uint8_t* window = full ? probe : output.Window(room);
        if (full)
            room = sizeof(probe);
        bz.next_out = reinterpret_cast<char*>(window);
        bz.avail_out = static_cast<unsigned>(room);
        const int rc = BZ2_bzDecompress(&bz);
        const std::size_t produced = room - bz.avail_out;
        if (full && produced > 0)
            return TExtractStatus::esCorrupt;
        if (!full)
            output.Commit(produced);
        if (rc == BZ_STREAM_END)
            return TExtractStatus::esOk;
        if (rc == BZ_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != BZ_OK)
            return TExtractStatus::esCorrupt;
        if (produced == 0 && bz.avail_in == 0 && left == 0)
            return TExtractStatus::esCorrupt;
    }
}

// ZIP's LZMA: a 2-byte encoder version, a 2-byte properties size, the
// 5 properties bytes, then the LZMA stream; flag bit 1 says whether the
// stream closes with an end marker.
TExtractStatus InflateLzma(const std::uint8_t* in, std::size_t size, std::uint16_t flags,
                           std::uint64_t declared, TEntryOutput& output) {
    if (size < 4)
        return TExtractStatus::esCorrupt;
    const std::size_t propsSize = Get16(in + 2);
    if (propsSize != 5 || size < 4 + propsSize)
        return TExtractStatus::esCorrupt;
    const std::uint8_t* props = in + 4;
    unsigned d = props[0];
    if (d >= 9 * 5 * 5)
        return TExtractStatus::esCorrupt;
    lzma_options_lzma options{};
    options.lc = d % 9;
    d /= 9;
    options.lp = d % 5;
    options.pb = d / 5;
    // A valid stream never reaches further back than the bytes it has
    // produced, so the dictionary need not exceed the declared size, nor
    // what the data can expand to (LZMA stays below about 7,100:1).
    const std::uint64_t reach = static_cast<std::uint64_t>(size) * 8192 + 65536;
    const std::uint64_t dictionary = std::min<std::uint64_t>({Get32(props + 1), declared, reach});
    options.dict_size =
        static_cast<std::uint32_t>(std::max<std::uint64_t>(dictionary, LZMA_DICT_SIZE_MIN));
    options.ext_flags = (flags & 2) != 0 ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_set_ext_size(options, declared);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    const lzma_ret init = lzma_raw_decoder(&strm, filters);
    if (init == LZMA_MEM_ERROR)
        throw std::bad_alloc();
    if (init != LZMA_OK)
        return TExtractStatus::esCorrupt;
    struct TEnd {
        lzma_stream* S;
        ~TEnd() { lzma_end(S); }
    } end{&strm};
    strm.next_in = in + 4 + propsSize;
    strm.avail_in = size - 4 - propsSize;
    for (;;) {
        // The decoder knows the declared size and stops there itself.
        std::size_t room = 0;
        std::uint8_t probe[1];
        const bool full = output.Room() == 0;
        std::uint8_t* window = full ? probe : output.Window(room);
        if (full)
            room = sizeof(probe);
        strm.next_out = window;
        strm.avail_out = room;
        const lzma_ret rc = lzma_code(&strm, LZMA_FINISH);
        const std::size_t produced = room - strm.avail_out;
        if (full && produced > 0)
            return TExtractStatus::esCorrupt;
        if (!full)
            output.Commit(produced);
        if (rc == LZMA_STREAM_END)
            return TExtractStatus::esOk;
        if (rc == LZMA_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != LZMA_OK)
            return TExtractStatus::esCorrupt;
        if (produced == 0 && strm.avail_in == 0)
            return TExtractStatus::esCorrupt;
    }
}

} // namespace Folivant::Archive
