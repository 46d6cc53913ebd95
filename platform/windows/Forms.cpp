#include "platform/windows/FormsWindows.h"

// A form is a top-level window of the thread that makes it; its border
// style is the window's style bits, stay-on-top the topmost band. Closing
// it never destroys the window: a close request goes to the form's
// handler, ends its modal loop or hides it; one that comes while a modal
// window runs waits until the handler that runs that window has returned.
// Key preview is a hook on the thread's message retrieval that sees each
// key press for the form or any window inside it before it is dispatched
// to the window that has the focus. A text box is the system's edit
// control, whose changes its form passes on. An image control is a child
// window that draws its picture at the picture's size in its middle,
// blending its transparency. While a style is active its palette paints
// the form, its text boxes and image controls. A modal form moves the
// focus between its controls with Tab and Shift+Tab as a dialog does;
// Enter and Esc close nothing by themselves.

#include "platform/ui/Application.h"
#include "platform/windows/MainIconWindows.h"
#include "platform/windows/ModalWindows.h"
#include "platform/windows/PictureWindows.h"
#include "platform/windows/StyleDrawingWindows.h"

#include <algorithm>
#include <vector>

namespace Folivant::Platform {

namespace {

const wchar_t* const FormClass = L"FolivantForm";
const wchar_t* const HostClass = L"FolivantFormClient";
const wchar_t* const ImageClass = L"FolivantImage";

// The forms of the thread, which the key hook looks the window up in.
std::vector<TForm::TImpl*> Forms;
HHOOK KeyHook = nullptr;

struct TStyle {
    DWORD Style;
    DWORD ExStyle;
};

TStyle StyleOf(TFormBorderStyle border) {
    switch (border) {
    case bsNone:
        return {WS_POPUP | WS_CLIPCHILDREN, 0};
    case bsSingle:
        return {WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CLIPCHILDREN, 0};
    case bsDialog:
        return {WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | WS_CLIPCHILDREN, WS_EX_DLGMODALFRAME};
    case bsToolWindow:
        return {WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN, WS_EX_TOOLWINDOW};
    case bsSizeToolWin:
        return {WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN, WS_EX_TOOLWINDOW};
    case bsSizeable:
    default:
        return {WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0};
    }
}

TShiftState CurrentShiftState() {
    TShiftState shift = 0;
    if (GetKeyState(VK_SHIFT) < 0)
        shift |= ssShift;
    if (GetKeyState(VK_MENU) < 0)
        shift |= ssAlt;
    if (GetKeyState(VK_CONTROL) < 0)
        shift |= ssCtrl;
    return shift;
}

TForm::TImpl* FormOf(HWND window) {
    const HWND root = GetAncestor(window, GA_ROOT);
    const auto at = std::find_if(Forms.begin(), Forms.end(),
                                 [root](TForm::TImpl* f) { return f->Window == root; });
    return at == Forms.end() ? nullptr : *at;
}

LRESULT CALLBACK KeyPreview(int code, WPARAM wParam, LPARAM lParam) {
    // Only a message being taken from the queue is a key press; a peek
    // that leaves it there would report it twice.
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE &&
        (message->message == WM_KEYDOWN || message->message == WM_SYSKEYDOWN)) {
        if (TForm::TImpl* f = FormOf(message->hwnd)) {
            TForm* form = f->Owner;
            GuardCallback([&] {
                if (form->OnKeyDown) {
                    std::uint16_t key = static_cast<std::uint16_t>(message->wParam);
                    form->OnKeyDown(key, CurrentShiftState());
                }
            });
        }
    }
    return CallNextHookEx(KeyHook, code, wParam, lParam);
}

void CloseRequested(TForm::TImpl& f) {
    // A modal window runs inside a handler that may still use this form
    // and what it holds (the save dialog inside a navigation's handler):
    // the request waits until that handler has returned to the outermost
    // loop, and is then asked again.
    if (!f.InModal && ModalWindowRunning()) {
        const HWND window = f.Window;
        GuardCallback([window] {
            WhenInOutermostLoop([window] {
                if (TForm::TImpl* form = FormOf(window); form != nullptr && form->Window == window)
                    CloseRequested(*form);
            });
        });
        return;
    }
    GuardCallback([&] {
        TForm& form = *f.Owner;
        if (form.OnCloseQuery)
            form.OnCloseQuery();
        else if (f.InModal)
            form.SetModalResult(mrCancel);
        else
            form.Hide();
    });
}

// The background and the colours of the controls in the active style.
bool PaintsInStyle(HWND window, UINT message, WPARAM wParam, LRESULT& result) {
    if (message == WM_ERASEBKGND && EraseWithPalette(window, reinterpret_cast<HDC>(wParam))) {
        result = 1;
        return true;
    }
    return AnswerColourMessage(message, wParam, result);
}

LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (LRESULT result = 0; PaintsInStyle(window, message, wParam, result))
        return result;
    auto* f = reinterpret_cast<TForm::TImpl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (f != nullptr) {
        switch (message) {
        case WM_CLOSE:
            CloseRequested(*f);
            return 0;
        case WM_SIZE:
            if (f->Host != nullptr)
                MoveWindow(f->Host, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            break;
        case WM_COMMAND:
            if (HIWORD(wParam) == EN_CHANGE && lParam != 0) {
                const HWND control = reinterpret_cast<HWND>(lParam);
                auto* edit =
                    reinterpret_cast<TEdit::TImpl*>(GetWindowLongPtrW(control, GWLP_USERDATA));
                if (edit != nullptr && edit->Live() == control)
                    GuardCallback([&] {
                        TEdit& owner = *edit->Owner;
                        if (owner.OnChange) {
                            // The handler may free the text box: it runs
                            // from a copy.
                            const std::function<void()> change = owner.OnChange;
                            change();
                        }
                    });
                return 0;
            }
            break;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
            info->ptMinTrackSize.x = std::max<LONG>(info->ptMinTrackSize.x, f->MinWidth);
            info->ptMinTrackSize.y = std::max<LONG>(info->ptMinTrackSize.y, f->MinHeight);
            return 0;
        }
        case WM_NCDESTROY:
            // Destroyed from outside the form: it has no window any more.
            f->Window = nullptr;
            f->Host = nullptr;
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            break;
        default:
            break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void PaintImage(HWND window) {
    PAINTSTRUCT paint;
    const HDC target = BeginPaint(window, &paint);
    auto* image = reinterpret_cast<TImage::TImpl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (image != nullptr && !image->Picture.Empty()) {
        const TPicture::TImpl& picture = *image->Picture.Native();
        RECT client{};
        GetClientRect(window, &client);
        const HDC source = CreateCompatibleDC(target);
        const HGDIOBJ previous = SelectObject(source, picture.Bitmap);
        const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        AlphaBlend(target, (client.right - picture.Width) / 2, (client.bottom - picture.Height) / 2,
                   picture.Width, picture.Height, source, 0, 0, picture.Width, picture.Height,
                   blend);
        SelectObject(source, previous);
        DeleteDC(source);
    }
    EndPaint(window, &paint);
}

LRESULT CALLBACK ImageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PaintImage(window);
        return 0;
    }
    if (LRESULT result = 0; PaintsInStyle(window, message, wParam, result))
        return result;
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (LRESULT result = 0; PaintsInStyle(window, message, wParam, result))
        return result;
    return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterClasses() {
    static const bool registered = [] {
        WNDCLASSEXW form{};
        form.cbSize = sizeof form;
        form.lpfnWndProc = FormProc;
        form.hInstance = GetModuleHandleW(nullptr);
        form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        form.lpszClassName = FormClass;
        WNDCLASSEXW host = form;
        host.lpfnWndProc = HostProc;
        host.hIcon = nullptr;
        host.lpszClassName = HostClass;
        WNDCLASSEXW image = host;
        image.lpfnWndProc = ImageProc;
        image.lpszClassName = ImageClass;
        return RegisterClassExW(&form) != 0 && RegisterClassExW(&host) != 0 &&
               RegisterClassExW(&image) != 0;
    }();
    return registered;
}

BOOL CALLBACK SetFontOf(HWND child, LPARAM font) {
    SendMessageW(child, WM_SETFONT, static_cast<WPARAM>(font), TRUE);
    return TRUE;
}

// The other windows of the thread that a modal form disables while it runs.
struct TDisabled {
    HWND Form;
    std::vector<HWND> Windows;
};

BOOL CALLBACK DisableOther(HWND window, LPARAM data) {
    auto* disabled = reinterpret_cast<TDisabled*>(data);
    if (window != disabled->Form && IsWindowVisible(window) && IsWindowEnabled(window)) {
        EnableWindow(window, FALSE);
        disabled->Windows.push_back(window);
    }
    return TRUE;
}

} // namespace

TForm::TForm() : FImpl(std::make_unique<TImpl>()) {
    TImpl& f = *FImpl;
    f.Owner = this;
    if (!RegisterClasses())
        return;
    const TStyle style = StyleOf(FBorderStyle);
    f.Window = CreateWindowExW(style.ExStyle, FormClass, L"", style.Style, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (f.Window == nullptr)
        return;
    SetWindowLongPtrW(f.Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&f));
    ApplyCaptionColours(f.Window);
    for (const bool small : {false, true})
        if (const HICON icon = MainWindowIcon(small))
            SendMessageW(f.Window, WM_SETICON, small ? ICON_SMALL : ICON_BIG,
                         reinterpret_cast<LPARAM>(icon));
    Forms.push_back(&f);
    if (KeyHook == nullptr)
        KeyHook = SetWindowsHookExW(WH_GETMESSAGE, KeyPreview, nullptr, GetCurrentThreadId());
}

TForm::~TForm() {
    TImpl& f = *FImpl;
    f.InModal = false;
    Forms.erase(std::remove(Forms.begin(), Forms.end(), &f), Forms.end());
    if (Forms.empty() && KeyHook != nullptr) {
        UnhookWindowsHookEx(KeyHook);
        KeyHook = nullptr;
    }
    if (f.Window != nullptr) {
        SetWindowLongPtrW(f.Window, GWLP_USERDATA, 0);
        DestroyWindow(f.Window);
    }
    if (f.Font != nullptr)
        DeleteObject(f.Font);
}

bool TForm::HandleAllocated() const {
    return FImpl->Window != nullptr;
}

void TForm::SetCaption(const String& caption) {
    FCaption = caption;
    if (FImpl->Window != nullptr)
        SetWindowTextW(FImpl->Window, reinterpret_cast<const wchar_t*>(caption.c_str()));
}

void TForm::SetBorderStyle(TFormBorderStyle style) {
    FBorderStyle = style;
    TImpl& f = *FImpl;
    if (f.Window == nullptr)
        return;
    const TStyle bits = StyleOf(style);
    const LONG_PTR keep = GetWindowLongPtrW(f.Window, GWL_STYLE) &
                          (WS_VISIBLE | WS_MAXIMIZE | WS_MINIMIZE | WS_DISABLED);
    SetWindowLongPtrW(f.Window, GWL_STYLE, static_cast<LONG_PTR>(bits.Style) | keep);
    LONG_PTR ex = bits.ExStyle;
    if (f.StayOnTop)
        ex |= WS_EX_TOPMOST;
    SetWindowLongPtrW(f.Window, GWL_EXSTYLE, ex);
    SetWindowPos(f.Window, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The client area keeps the size asked for within the new frame.
    if (f.ClientWidth > 0 && f.ClientHeight > 0)
        SetClientSize(f.ClientWidth, f.ClientHeight);
}

void TForm::SetStayOnTop(bool stayOnTop) {
    FImpl->StayOnTop = stayOnTop;
    if (FImpl->Window != nullptr)
        SetWindowPos(FImpl->Window, stayOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void TForm::SetPosition(TFormPosition position) {
    FImpl->Position = position;
}

void TForm::SetClientSize(int width, int height) {
    TImpl& f = *FImpl;
    f.ClientWidth = width;
    f.ClientHeight = height;
    f.SizeAsked = true;
    if (f.Window == nullptr)
        return;
    RECT frame{0, 0, width, height};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(f.Window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(f.Window, GWL_EXSTYLE)));
    SetWindowPos(f.Window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetFont(const String& family, int pixelSize) {
    TImpl& f = *FImpl;
    LOGFONTW logical{};
    logical.lfHeight = -pixelSize;
    logical.lfWeight = FW_NORMAL;
    logical.lfCharSet = DEFAULT_CHARSET;
    const std::size_t length = std::min<std::size_t>(family.size(), LF_FACESIZE - 1);
    std::copy_n(family.begin(), length, logical.lfFaceName);
    HFONT font = CreateFontIndirectW(&logical);
    if (font == nullptr)
        return;
    if (f.Window != nullptr) {
        SendMessageW(f.Window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        EnumChildWindows(f.Window, SetFontOf, reinterpret_cast<LPARAM>(font));
    }
    if (f.Font != nullptr)
        DeleteObject(f.Font);
    f.Font = font;
}

TOuterBounds TForm::Bounds() const {
    RECT frame{};
    if (FImpl->Window == nullptr || !GetWindowRect(FImpl->Window, &frame))
        return {};
    return {frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top};
}

void TForm::SetOuterSize(int width, int height, int minWidth, int minHeight) {
    TImpl& f = *FImpl;
    f.ClientWidth = 0;
    f.ClientHeight = 0;
    f.MinWidth = minWidth;
    f.MinHeight = minHeight;
    f.SizeAsked = true;
    if (f.Window != nullptr)
        SetWindowPos(f.Window, nullptr, 0, 0, std::max(width, minWidth),
                     std::max(height, minHeight), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetOuterPosition(int left, int top) {
    if (FImpl->Window != nullptr)
        SetWindowPos(FImpl->Window, nullptr, left, top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetDefaultSize(int width, int height) {
    // The size the window has until another is asked for: the window
    // exists already, so it takes it now unless a size was set.
    TImpl& f = *FImpl;
    if (f.Window != nullptr && !f.ShownOnce && !f.SizeAsked)
        SetWindowPos(f.Window, nullptr, 0, 0, width, height,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TForm::SetMinimumSize(int width, int height) {
    FImpl->MinWidth = width;
    FImpl->MinHeight = height;
}

void TForm::Maximize() {
    TImpl& f = *FImpl;
    if (f.Window == nullptr)
        return;
    if (IsWindowVisible(f.Window))
        ShowWindow(f.Window, SW_MAXIMIZE);
    else
        f.ShowMaximized = true;
}

void TForm::Show() {
    TImpl& f = *FImpl;
    if (f.Window == nullptr)
        return;
    if (!f.ShownOnce && f.Position == poScreenCenter) {
        RECT work{};
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        const TOuterBounds bounds = Bounds();
        SetOuterPosition(work.left + (work.right - work.left - bounds.Width) / 2,
                         work.top + (work.bottom - work.top - bounds.Height) / 2);
    }
    f.ShownOnce = true;
    ShowWindow(f.Window, f.ShowMaximized ? SW_SHOWMAXIMIZED : SW_SHOW);
    f.ShowMaximized = false;
}

void TForm::Present() {
    Show();
    const HWND window = FImpl->Window;
    if (window == nullptr)
        return;
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    BringWindowToTop(window);
}

void TForm::Hide() {
    if (FImpl->Window != nullptr)
        ShowWindow(FImpl->Window, SW_HIDE);
}

bool TForm::Visible() const {
    return FImpl->Window != nullptr && IsWindowVisible(FImpl->Window);
}

void TForm::HideToTray() {
    // A hidden window has no taskbar button either.
    Hide();
}

void TForm::RestoreFromTray() {
    Present();
}

void TForm::Close() {
    if (FImpl->Window != nullptr)
        PostMessageW(FImpl->Window, WM_CLOSE, 0, 0);
}

TModalResult TForm::ShowModal() {
    TImpl& f = *FImpl;
    FModalResult = mrNone;
    // A run that is being ended from outside shows no modal form any more:
    // it answers as one closed at once.
    if (f.Window == nullptr || ShutDownRequested())
        return mrCancel;
    TDisabled disabled{f.Window, {}};
    EnumThreadWindows(GetCurrentThreadId(), DisableOther, reinterpret_cast<LPARAM>(&disabled));
    const HWND window = f.Window;
    TModalWindowScope scope(window, [window] { PostMessageW(window, WM_CLOSE, 0, 0); });
    f.InModal = true;
    Present();
    MSG message;
    while (FModalResult == mrNone && f.Window != nullptr) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // The end of the run: the loops outside get the message too.
            if (got == 0)
                PostQuitMessage(static_cast<int>(message.wParam));
            FModalResult = mrCancel;
            break;
        }
        // Tab and Shift+Tab move the focus among the form's controls. The
        // Enter and Esc that the dialog manager turns into IDOK and
        // IDCANCEL commands reach a form that has no such buttons and
        // close nothing.
        if (f.Window != nullptr && IsDialogMessageW(f.Window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    f.InModal = false;
    for (const HWND other : disabled.Windows)
        if (IsWindow(other))
            EnableWindow(other, TRUE);
    if (f.Window != nullptr)
        ShowWindow(f.Window, SW_HIDE);
    return FModalResult == mrNone ? mrCancel : FModalResult;
}

void TForm::SetModalResult(TModalResult result) {
    FModalResult = result;
    // GetMessageW returns for any message; this one does nothing else.
    if (result != mrNone && FImpl->InModal && FImpl->Window != nullptr)
        PostMessageW(FImpl->Window, WM_NULL, 0, 0);
}

void TForm::MakeControlHost() {
    TImpl& f = *FImpl;
    if (f.Host != nullptr || f.Window == nullptr)
        return;
    RECT client{};
    GetClientRect(f.Window, &client);
    f.Host = CreateWindowExW(WS_EX_CONTROLPARENT, HostClass, L"",
                             WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, client.right,
                             client.bottom, f.Window, nullptr, GetModuleHandleW(nullptr), nullptr);
}

// ---- TEdit ------------------------------------------------------------------

HWND TEdit::TImpl::Live() const {
    if (Edit == nullptr || !IsWindow(Edit) ||
        GetWindowLongPtrW(Edit, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(this))
        return nullptr;
    return Edit;
}

TEdit::TEdit(TForm& parent, int left, int top, int width, int height)
    : FImpl(std::make_unique<TImpl>()) {
    FImpl->Owner = this;
    const TForm::TImpl& form = parent.Native();
    if (form.Window == nullptr)
        return;
    FImpl->Edit = CreateWindowExW(
        WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, left,
        top, width, height, form.Window, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (FImpl->Edit == nullptr)
        return;
    SetWindowLongPtrW(FImpl->Edit, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(FImpl.get()));
    StyleTextBoxFrame(FImpl->Edit);
    HFONT font =
        form.Font != nullptr ? form.Font : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    SendMessageW(FImpl->Edit, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
}

TEdit::~TEdit() {
    if (const HWND edit = FImpl->Live()) {
        SetWindowLongPtrW(edit, GWLP_USERDATA, 0);
        DestroyWindow(edit);
    }
}

bool TEdit::HandleAllocated() const {
    return FImpl->Live() != nullptr;
}

String TEdit::Text() const {
    const HWND edit = FImpl->Live();
    if (edit == nullptr)
        return String();
    std::vector<wchar_t> text(static_cast<std::size_t>(GetWindowTextLengthW(edit)) + 1);
    const int length = GetWindowTextW(edit, text.data(), static_cast<int>(text.size()));
    return String(reinterpret_cast<const char16_t*>(text.data()),
                  static_cast<std::size_t>(std::max(length, 0)));
}

void TEdit::SetText(const String& text) {
    if (const HWND edit = FImpl->Live())
        SetWindowTextW(edit, reinterpret_cast<const wchar_t*>(text.c_str()));
}

void TEdit::SetFocus() {
    if (const HWND edit = FImpl->Live())
        ::SetFocus(edit);
}

// ---- TImage -----------------------------------------------------------------

HWND TImage::TImpl::Live() const {
    if (Window == nullptr || !IsWindow(Window) ||
        GetWindowLongPtrW(Window, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(this))
        return nullptr;
    return Window;
}

TImage::TImage(TForm& parent, int left, int top, int width, int height)
    : FImpl(std::make_unique<TImpl>()) {
    FImpl->Width = width;
    FImpl->Height = height;
    const HWND form = parent.Native().Window;
    if (form == nullptr || !RegisterClasses())
        return;
    FImpl->Window = CreateWindowExW(0, ImageClass, L"", WS_CHILD | WS_VISIBLE, left, top, width,
                                    height, form, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (FImpl->Window != nullptr)
        SetWindowLongPtrW(FImpl->Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(FImpl.get()));
}

TImage::TImage(int width, int height) : FImpl(std::make_unique<TImpl>()) {
    FImpl->Width = width;
    FImpl->Height = height;
}

TImage::~TImage() {
    if (const HWND window = FImpl->Live()) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
}

int TImage::ClientWidth() const {
    RECT client{};
    if (const HWND window = FImpl->Live(); window != nullptr && GetClientRect(window, &client))
        return client.right;
    return FImpl->Width;
}

int TImage::ClientHeight() const {
    RECT client{};
    if (const HWND window = FImpl->Live(); window != nullptr && GetClientRect(window, &client))
        return client.bottom;
    return FImpl->Height;
}

void TImage::SetPicture(const TPicture& picture) {
    FImpl->Picture = picture;
    if (const HWND window = FImpl->Live())
        InvalidateRect(window, nullptr, TRUE);
}

} // namespace Folivant::Platform
