#include "platform/SpecialFolders.h"

#include "base/Text.h"

#include <glib.h>

#include <filesystem>
#include <system_error>

namespace Folivant::Platform {

namespace {

String Folder(const char* path) {
    if (path == nullptr)
        return String();
    return Utf8ToString(path);
}

} // namespace

String UserDesktopDir() {
    return Folder(g_get_user_special_dir(G_USER_DIRECTORY_DESKTOP));
}

String UserDocumentsDir() {
    return Folder(g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS));
}

String UserAppDataDir() {
    return Folder(g_get_user_data_dir());
}

String ExecutablePath() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return String();
    return Utf8ToString(path.string());
}

String ExecutableDir() {
    const String path = ExecutablePath();
    const std::size_t slash = path.rfind(u'/');
    return slash == String::npos ? String(u"/") : path.substr(0, slash + 1);
}

} // namespace Folivant::Platform
