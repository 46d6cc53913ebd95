#include "platform/ui/MainIcon.h"

// The executable's icon group MAINICON at the two sizes the system shows a
// window's icon at; each form created afterwards takes them.

#include "platform/windows/MainIconWindows.h"

namespace Folivant::Platform {

namespace {

HICON Icons[2] = {nullptr, nullptr};

HICON LoadMainIcon(int width, int height) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), L"MAINICON", IMAGE_ICON, width,
                                         height, LR_DEFAULTCOLOR | LR_SHARED));
}

} // namespace

HICON MainWindowIcon(bool small) {
    return Icons[small ? 1 : 0];
}

void UseMainIconForWindows() {
    Icons[0] = LoadMainIcon(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    Icons[1] = LoadMainIcon(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON));
}

} // namespace Folivant::Platform
