#include "platform/MediaBridge.h"

#include "archive/Text.h"
#include "archive/ZipReader.h"
#include "shared/FvpResolver.h"

#include <algorithm>
#include <limits>
#include <memory>

namespace Folivant::Platform {

namespace {

constexpr const char* ScriptSource =
#include "platform/MediaBridgeScript.js.inc"
    ;

// Marks a user content manager that already carries the script.
constexpr const char* InstalledKey = "folivant-media-bridge";

std::unique_ptr<TMediaBridge>& GlobalBridge() {
    static std::unique_ptr<TMediaBridge> bridge;
    return bridge;
}

} // namespace

TMediaBridge::TMediaBridge(TMediaEntrySource source) : FEndpoint(std::move(source)) {}

TMediaBridge::~TMediaBridge() = default;

void TMediaBridge::Install(WebKitUserContentManager* manager) const {
    if (manager == nullptr || g_object_get_data(G_OBJECT(manager), InstalledKey) != nullptr)
        return;
    // No allow list: the script itself leaves every document that is not a
    // publication page, which also covers fvp: addresses written without
    // "//" that URL patterns cannot express.
    std::string prefixes;
    for (const auto& prefix : FEndpoint.Prefixes())
        prefixes += (prefixes.empty() ? "\"" : ",\"") + prefix + "\"";
    const std::string source = std::string(ScriptSource) + "([" + prefixes + "]);";
    WebKitUserScript* script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(manager, script);
    webkit_user_script_unref(script);
    g_object_set_data(G_OBJECT(manager), InstalledKey, GINT_TO_POINTER(1));
}

const std::string& TMediaBridge::Prefix() const {
    return FEndpoint.Prefix();
}

std::uint16_t TMediaBridge::Port() const {
    return FEndpoint.Port();
}

std::size_t TMediaBridge::HeldEntries() const {
    return FEndpoint.HeldEntries();
}

std::uint64_t TMediaBridge::Decodings() const {
    return FEndpoint.Decodings();
}

TMediaBridge& TMediaBridge::Start(TMediaEntrySource source) {
    std::unique_ptr<TMediaBridge>& bridge = GlobalBridge();
    if (!bridge)
        bridge = std::make_unique<TMediaBridge>(std::move(source));
    return *bridge;
}

void TMediaBridge::Stop() {
    GlobalBridge().reset();
}

TMediaBridge* TMediaBridge::Global() {
    return GlobalBridge().get();
}

void TMediaBridge::InstallInto(WebKitUserContentManager* manager) {
    if (TMediaBridge* bridge = Global())
        bridge->Install(manager);
}

TMediaEntrySource TMediaBridge::ArchiveSource(const Archive::TZipReader& zipFile) {
    auto* memory = dynamic_cast<TCustomMemoryStream*>(zipFile.Stream());
    if (memory == nullptr)
        throw Exception(u"The media endpoint reads the archive from memory only");
    // The decoding thread's own reader over the same read-only bytes, with
    // the content protocol's resolution of a URL to an entry name.
    struct TArchive {
        TReadOnlyMemoryStream Stream;
        Archive::TZipReader Zip;
        std::unique_ptr<Shared::TFvpResolver> Resolver;
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
                Resolver = std::make_unique<Shared::TFvpResolver>(Zip, [](const String&) {});
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
    TMediaEntrySource source;
    source.Find = [archive](const String& url) -> TMediaEntryInfo {
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

} // namespace Folivant::Platform
