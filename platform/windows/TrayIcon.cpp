#include "platform/ui/TrayIcon.h"

// The icon is the system's notification-area icon, Shell_NotifyIconW, in
// the notification area's own (older) tray protocol, so Kind answers
// tkStatusIcon while it shows. Each icon has a hidden top-level window
// that the notification area reports mouse events to: a left button
// released is a click, and the release that ends a double click is not a
// second one. Top-level, because the notification area announces its
// restart ("TaskbarCreated") only to top-level windows; the icon is then
// added again.

#include "platform/ui/Application.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <cwchar>

namespace Folivant::Platform {

namespace {

const wchar_t* const TrayWindowClass = L"FolivantTrayIcon";
// The message the notification area sends mouse events with.
constexpr UINT WM_TRAY_NOTIFY = WM_APP + 20;

// The executable's main icon at the notification area's size, or the
// system's application icon without one.
HICON MainIconSmall() {
    HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), L"MAINICON", IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    return icon != nullptr ? icon : LoadIconW(nullptr, IDI_APPLICATION);
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace

struct TTrayIcon::TImpl {
    String Hint;
    TClickEvent OnClick;
    HWND Window = nullptr;
    HICON Icon = nullptr;
    bool Shown = false;
    bool DoubleClicked = false;
    UINT TaskbarCreated = 0;

    NOTIFYICONDATAW Data(UINT flags) const {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof data;
        data.hWnd = Window;
        data.uID = 1;
        data.uFlags = flags;
        data.uCallbackMessage = WM_TRAY_NOTIFY;
        data.hIcon = Icon;
        const String tip = TrayIconToolTip(Hint);
        std::copy_n(tip.begin(), std::min(tip.size(), std::size(data.szTip) - 1), data.szTip);
        return data;
    }

    void Add() {
        NOTIFYICONDATAW data = Data(NIF_MESSAGE | NIF_ICON | NIF_TIP);
        Shown = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
    }

    void Notified(LPARAM event) {
        switch (LOWORD(event)) {
        case WM_LBUTTONDBLCLK:
            DoubleClicked = true;
            break;
        case WM_LBUTTONUP:
            if (DoubleClicked) {
                DoubleClicked = false;
                break;
            }
            if (OnClick) {
                // The handler may free the icon: it runs from a copy.
                const TClickEvent click = OnClick;
                GuardCallback(click);
            }
            break;
        default:
            break;
        }
    }
};

namespace {

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* impl = reinterpret_cast<TTrayIcon::TImpl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (impl != nullptr) {
        if (message == WM_TRAY_NOTIFY) {
            impl->Notified(lParam);
            return 0;
        }
        if (message == impl->TaskbarCreated && message != 0) {
            impl->Add();
            return 0;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

TTrayIcon::TTrayIcon(const String& hint, TClickEvent onClick) : FImpl(std::make_unique<TImpl>()) {
    FImpl->Hint = hint;
    FImpl->OnClick = std::move(onClick);
    FImpl->TaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    static const ATOM atom = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = TrayWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = TrayWindowClass;
        return RegisterClassExW(&windowClass);
    }();
    if (atom == 0)
        return;
    // Never shown; a tool window keeps it off the taskbar in any case.
    FImpl->Window = CreateWindowExW(WS_EX_TOOLWINDOW, TrayWindowClass, L"", WS_POPUP, 0, 0, 0, 0,
                                    nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (FImpl->Window == nullptr)
        return;
    SetWindowLongPtrW(FImpl->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(FImpl.get()));
    FImpl->Icon = MainIconSmall();
    FImpl->Add();
}

TTrayIcon::~TTrayIcon() {
    if (FImpl->Window == nullptr)
        return;
    if (FImpl->Shown) {
        NOTIFYICONDATAW data = FImpl->Data(0);
        Shell_NotifyIconW(NIM_DELETE, &data);
    }
    SetWindowLongPtrW(FImpl->Window, GWLP_USERDATA, 0);
    DestroyWindow(FImpl->Window);
}

void TTrayIcon::SetHint(const String& hint) {
    FImpl->Hint = hint;
    if (FImpl->Shown) {
        NOTIFYICONDATAW data = FImpl->Data(NIF_TIP);
        Shell_NotifyIconW(NIM_MODIFY, &data);
    }
}

TTrayIcon::TKind TTrayIcon::Kind() const {
    return FImpl->Shown ? tkStatusIcon : tkNone;
}

String TTrayIcon::BusName() const {
    // There is no session bus on Windows.
    return String();
}

} // namespace Folivant::Platform
