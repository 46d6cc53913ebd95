// Extraction throughput of a site-like archive of about 100 MB: every
// encrypted, deflated entry decoded into a fresh memory stream, compared with
// libzip decoding the same entries from the same memory and with the bare
// decryption of the same compressed bytes, which no extraction can beat.

#include "SiteArchive.h"

#include "base/Text.h"
#include "archive/ZipCrypto.h"
#include "archive/ZipReader.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>

#ifdef __has_include
#if __has_include(<zip.h>)
#include <zip.h>
#define FOLIVANT_HAVE_LIBZIP 1
#endif
#endif

using namespace Folivant;
using namespace Folivant::Archive;
using Folivant::Bench::Now;

namespace {

struct TItem {
    String Name;
    std::string Utf8;
    std::uint64_t DataOffset = 0; // first byte of the encryption header
    std::uint64_t CompressedSize = 0;
    std::uint64_t UncompressedSize = 0;
    std::uint32_t Crc = 0;
};

template <typename F> double Best(int runs, F&& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const double t0 = Now();
        f();
        best = std::min(best, Now() - t0);
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100;
    const auto dir = std::filesystem::temp_directory_path() /
                     ("folivant-bench-extract-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / "site.zip";
    const double tw = Now();
    const int count = Bench::WriteSiteArchive(path, megabytes << 20);
    std::printf("archive: %d entries, %.1f MB on disk, written in %.2f s\n", count,
                static_cast<double>(std::filesystem::file_size(path)) / 1e6, Now() - tw);

    int status = 0;
    {
        Bench::TMappedFile file(path);
        const auto* base = static_cast<const std::uint8_t*>(file.Data());
        TReadOnlyMemoryStream stream(file.Data(), static_cast<std::int64_t>(file.Size()));
        TZipReader reader;
        reader.Password = ArchivePassword;
        reader.SetStream(&stream);

        std::vector<TItem> items;
        std::uint64_t plainTotal = 0, compressedTotal = 0;
        for (int i = 0; i < reader.Count(); ++i) {
            const TZipEntry& e = reader.Entry(i);
            if ((e.Flags & 1) == 0 || e.Method != 8 || e.UncompressedSize == 0)
                continue;
            const std::uint8_t* local = base + e.LocalHeaderOffset;
            const std::uint64_t data = e.LocalHeaderOffset + 30 + (local[26] | (local[27] << 8)) +
                                       (local[28] | (local[29] << 8));
            items.push_back({e.Name, StringToUtf8(e.Name), data, e.CompressedSize,
                             e.UncompressedSize, e.Crc32});
            plainTotal += e.UncompressedSize;
            compressedTotal += e.CompressedSize;
        }
        std::printf("entries measured: %zu encrypted deflated, %.1f MB decoded from %.1f MB\n",
                    items.size(), static_cast<double>(plainTotal) / 1e6,
                    static_cast<double>(compressedTotal) / 1e6);

        // Every decoded entry must match its CRC-32.
        for (const auto& item : items) {
            TMemoryStream out;
            reader.ExtractToStream(item.Name, out);
            if (reader.LastStatus() != TExtractStatus::esOk ||
                static_cast<std::uint64_t>(out.Size()) != item.UncompressedSize ||
                libdeflate_crc32(0, out.Memory(), static_cast<std::size_t>(out.Size())) !=
                    item.Crc) {
                std::printf("FAILED: %s decoded wrongly\n", item.Utf8.c_str());
                return 1;
            }
        }

        const int runs = 5;
        const double ours = Best(runs, [&] {
            for (const auto& item : items) {
                TMemoryStream out;
                reader.ExtractToStream(item.Name, out);
            }
        });
        std::vector<std::uint8_t> plain;
        const double floor = Best(runs, [&] {
            for (const auto& item : items) {
                plain.resize(static_cast<std::size_t>(item.CompressedSize));
                TZipCrypto crypto(ArchivePassword);
                crypto.Decrypt(base + item.DataOffset, plain.data(), plain.size());
            }
        });
        const double mb = static_cast<double>(plainTotal) / 1e6;
        std::printf("extract folivant: %.1f ms, %.0f MB/s\n", ours * 1e3, mb / ours);
        std::printf("decrypt loop alone: %.1f ms; extraction / loop = %.2f (goal <= 1.3)\n",
                    floor * 1e3, ours / floor);

#ifdef FOLIVANT_HAVE_LIBZIP
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source = zip_source_buffer_create(file.Data(), file.Size(), 0, &error);
        zip_t* za = source == nullptr ? nullptr : zip_open_from_source(source, ZIP_RDONLY, &error);
        if (za == nullptr) {
            std::printf("libzip can't open the archive: %s\n", zip_error_strerror(&error));
            return 1;
        }
        std::vector<zip_int64_t> indexes;
        for (const auto& item : items)
            indexes.push_back(zip_name_locate(za, item.Utf8.c_str(), 0));
        // libzip must decode the same bytes.
        for (std::size_t k = 0; k < items.size(); ++k) {
            std::vector<std::uint8_t> out(static_cast<std::size_t>(items[k].UncompressedSize));
            zip_file_t* f = zip_fopen_index_encrypted(za, static_cast<zip_uint64_t>(indexes[k]), 0,
                                                      ArchivePassword);
            const zip_int64_t n = f == nullptr ? -1 : zip_fread(f, out.data(), out.size());
            if (f != nullptr)
                zip_fclose(f);
            if (n != static_cast<zip_int64_t>(out.size()) ||
                libdeflate_crc32(0, out.data(), out.size()) != items[k].Crc) {
                std::printf("FAILED: libzip decodes %s differently\n", items[k].Utf8.c_str());
                status = 1;
                break;
            }
        }
        const double theirs = Best(runs, [&] {
            for (std::size_t k = 0; k < items.size(); ++k) {
                std::vector<std::uint8_t> out(static_cast<std::size_t>(items[k].UncompressedSize));
                zip_file_t* f = zip_fopen_index_encrypted(za, static_cast<zip_uint64_t>(indexes[k]),
                                                          0, ArchivePassword);
                if (f != nullptr) {
                    zip_fread(f, out.data(), out.size());
                    zip_fclose(f);
                }
            }
        });
        zip_discard(za);
        std::printf("extract libzip: %.1f ms, %.0f MB/s; libzip / folivant = %.2f (goal >= 1.5)\n",
                    theirs * 1e3, mb / theirs, theirs / ours);
#else
        std::printf("libzip not found: no comparison\n");
#endif
    }
    std::filesystem::remove_all(dir);
    return status;
}
