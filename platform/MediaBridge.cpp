#include "platform/MediaBridge.h"

namespace Folivant::Platform {

namespace {

constexpr const char* ScriptSource =
#include "platform/MediaBridgeScript.js.inc"
    ;

// Marks a user content manager that already carries the script.
constexpr const char* InstalledKey = "folivant-media-bridge";

} // namespace

const char* TMediaBridge::Script() {
    return ScriptSource;
}

void TMediaBridge::Install(WebKitUserContentManager* manager) {
    if (manager == nullptr || g_object_get_data(G_OBJECT(manager), InstalledKey) != nullptr)
        return;
    // No allow list: the script itself leaves every document that is not a
    // publication page, which also covers fvp: addresses written without
    // "//" that URL patterns cannot express.
    WebKitUserScript* script =
        webkit_user_script_new(ScriptSource, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(manager, script);
    webkit_user_script_unref(script);
    g_object_set_data(G_OBJECT(manager), InstalledKey, GINT_TO_POINTER(1));
}

} // namespace Folivant::Platform
