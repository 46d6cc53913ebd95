#include "platform/ui/Shell.h"

// The shell's "open" verb does what the interface describes itself: a
// document opens in the application registered for its type, a folder in
// the explorer, a program is started with its arguments, and a URL in its
// scheme's handler.

#include <windows.h>

#include <shellapi.h>
#include <shlobj.h>

namespace Folivant::Platform {

namespace {

const wchar_t* Wide(const String& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

} // namespace

bool ShellOpen(const String& path, const String& args) {
    if (path.empty())
        return false;
    // The active window of this thread owns whatever the shell shows.
    const HINSTANCE result =
        ShellExecuteW(GetActiveWindow(), L"open", Wide(path), Wide(args), nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

bool RefreshAssociations() {
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return true;
}

} // namespace Folivant::Platform
