#include "shared/MediaEntries.h"

#include "shared/FvpResolver.h"

#include <algorithm>
#include <limits>
#include <memory>

namespace Folivant::Shared {

Platform::TMediaEntrySource MediaEntrySource(const Archive::TZipReader& zipFile) {
    auto* memory = dynamic_cast<TCustomMemoryStream*>(zipFile.Stream());
    if (memory == nullptr)
        throw Exception(u"The media endpoint reads the archive from memory only");
    // The decoding thread's own reader over the same read-only bytes, with
    // the content protocol's resolution of a URL to an entry name.
    struct TArchive {
        TReadOnlyMemoryStream Stream;
        Archive::TZipReader Zip;
        std::unique_ptr<TFvpResolver> Resolver;
        std::string Password;
        String Url, Name;

        TArchive(const std::uint8_t* data, std::int64_t size, std::string password)
            : Stream(data, size), Password(std::move(password)) {}

        // The entry name for url, or empty; the last answer is kept, since
        // the endpoint asks for the size and then for the bytes.
        String Resolve(const String& url) {
            if (!Resolver) {
                Zip.Password = Password;
                Zip.SetStream(&Stream);
                Resolver = std::make_unique<TFvpResolver>(Zip, [](const String&) {});
            }
            if (url != Url || Name.empty()) {
                const auto colon = url.find(u':');
                Name = Resolver->FindEntry(colon == String::npos ? url : url.substr(colon + 1));
                Url = url;
            }
            return Name;
        }
    };
    auto archive = std::make_shared<TArchive>(memory->Memory(), memory->Size(), zipFile.Password);
    Platform::TMediaEntrySource source;
    source.Find = [archive](const String& url) -> Platform::TMediaEntryInfo {
        const String name = archive->Resolve(url);
        const int index = name.empty() ? -1 : archive->Zip.FindFile(name);
        if (index < 0)
            return {};
        const std::uint64_t size = archive->Zip.Entry(index).UncompressedSize;
        return {name, static_cast<std::int64_t>(
                          std::min<std::uint64_t>(size, std::numeric_limits<std::int64_t>::max()))};
    };
    source.Extract = [archive](const String& url, TStream& out) {
        const String name = archive->Resolve(url);
        if (!name.empty())
            archive->Zip.ExtractToStream(name, out);
    };
    return source;
}

} // namespace Folivant::Shared
