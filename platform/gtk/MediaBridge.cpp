#include "platform/gtk/MediaBridgeGtk.h"

#include <memory>

namespace Folivant::Platform {

namespace {

constexpr const char* ScriptSource =
#include "platform/gtk/MediaBridgeScript.js.inc"
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

void StartMediaBridge(TMediaEntrySource source) {
    TMediaBridge::Start(std::move(source));
}

void StopMediaBridge() {
    TMediaBridge::Stop();
}

} // namespace Folivant::Platform
