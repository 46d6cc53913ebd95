// The media endpoint's reading of a request: the head, the byte range it
// asks for (against entries of several sizes), the percent-decoded target
// and the type of a name. Whatever the bytes, nothing may crash, a range
// must lie within the entry, and a type must be one of audio or video.

#include "platform/HttpHead.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

using namespace Folivant::Platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    THttpRequest request;
    if (ParseHttpHead(text, request)) {
        for (const std::string* field : {&request.Target, &request.Host, &request.Range})
            if (field->find("\r\n") != std::string::npos)
                __builtin_trap();
    }
    for (const std::string_view range : {std::string_view(request.Range), text}) {
        for (const std::int64_t entry :
             {std::int64_t{0}, std::int64_t{1}, std::int64_t{100}, std::int64_t{1} << 40}) {
            const TByteRange r = ParseByteRange(range, entry);
            if (r.Kind == TRangeKind::rkPart &&
                (r.First < 0 || r.First > r.Last || r.Last >= entry))
                __builtin_trap();
        }
    }
    std::string decoded;
    if (PercentDecodeSegment(request.Target, decoded) && decoded.size() > request.Target.size())
        __builtin_trap();
    if (const char* type = MediaTypeOfName(text))
        if (std::strncmp(type, "audio/", 6) != 0 && std::strncmp(type, "video/", 6) != 0)
            __builtin_trap();
    return 0;
}
