// The folders the system reports, on Windows: the shell's special folders
// (SHGetFolderPathW) and the running module's file (GetModuleFileNameW).
#include "platform/SpecialFolders.h"

#include <windows.h>

#include <shlobj.h>

#include <string>

namespace Folivant::Platform {

namespace {

String ShellFolder(int folder) {
    wchar_t path[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path)))
        return String();
    const std::wstring text(path);
    return String(text.begin(), text.end());
}

} // namespace

String UserDesktopDir() {
    return ShellFolder(CSIDL_DESKTOPDIRECTORY);
}

String UserDocumentsDir() {
    return ShellFolder(CSIDL_PERSONAL);
}

String UserAppDataDir() {
    return ShellFolder(CSIDL_APPDATA);
}

String ExecutablePath() {
    // Long paths: grow the buffer until the whole name fits.
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return String();
        if (n < path.size()) {
            path.resize(n);
            return String(path.begin(), path.end());
        }
        if (path.size() >= 32768)
            return String();
        path.resize(path.size() * 2);
    }
}

String ExecutableDir() {
    const String path = ExecutablePath();
    const std::size_t slash = path.find_last_of(u"\\/");
    return slash == String::npos ? String() : path.substr(0, slash + 1);
}

} // namespace Folivant::Platform
