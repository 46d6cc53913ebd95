// The browser control on Windows: the control's properties and events on
// the hosted WebBrowser control. The engine itself runs window.external
// through the script bridge, shows its own find dialog, plays media through
// the fvp protocol and draws its own drops and context menus from the host
// flags below.
#include "browsercontrol/WebBrowserControl.h"

#include "browsercontrol/windows/ComObject.h"
#include "browsercontrol/windows/HostedEngine.h"
#include "platform/windows/FormsWindows.h"

#include <wincodec.h>

#include <string>
#include <utility>
#include <vector>

namespace Folivant::BrowserControl {

std::uint32_t HostFlagsOf(TUserInterfaceOptions options) {
    std::uint32_t flags = 0;
    for (unsigned k = 0; k <= ForceUserActivationOnActiveXJava; ++k)
        if (options & (1u << k))
            flags |= k <= 14 ? (1u << k) : (1u << (k + 1));
    return flags;
}

// The Windows side of the control. The member that holds it is the one the
// other platform keeps its own find dialog in: here the engine shows its own.
struct TWebBrowserControl::TFindDialog {
    std::unique_ptr<THostedEngine> Engine;
    // An address asked for before the control was placed in a window.
    String PendingUrl;
};

// No engine view of the other platform exists here.
void TWebBrowserControl::TViewRelease::operator()(WebKitWebView*) const {}

TWebBrowserControl::TWebBrowserControl()
    : FFindDialog(std::make_unique<TFindDialog>()), FAlive(std::make_shared<bool>(true)) {
    FHostFlags = HostFlagsOf(FUserInterfaceOptions);
}

TWebBrowserControl::~TWebBrowserControl() {
    *FAlive = false;
    FFindDialog->Engine.reset();
}

GtkWidget* TWebBrowserControl::Widget() const {
    return nullptr;
}

void TWebBrowserControl::PlaceInto(Platform::TForm& form) {
    form.MakeControlHost();
    HWND parent = form.Native().Host;
    if (parent == nullptr)
        throw Exception(u"The window cannot host the browser");
    TFindDialog& side = *FFindDialog;
    if (side.Engine != nullptr) {
        side.Engine->PlaceInto(parent);
        return;
    }
    THostedEngineOptions options;
    options.HostInfoFlags = FHostFlags;
    options.DisabledPopupMenus = DisabledPopupMenus;
    options.DisableCtrlShortcuts = DisableCtrlShortcuts;
    options.ScriptErrorAction = ScriptErrorAction;
    options.Silent = Silent;
    THostedEngineEvents events;
    events.BeforeNavigate = [this](const String& url, bool& cancel) {
        if (!OnBeforeNavigate2 || FUnloaded)
            return;
        TVariant address = TVariant::FromString(url);
        TVariant flags, target, post, headers;
        VARIANT_BOOL refuse = cancel ? VARIANT_TRUE : VARIANT_FALSE;
        OnBeforeNavigate2(this, this, address, flags, target, post, headers, refuse);
        cancel = refuse != VARIANT_FALSE;
    };
    events.NewWindow = [this](const String& url, bool& cancel) -> THostedEngine* {
        if (FUnloaded) {
            cancel = true;
            return nullptr;
        }
        TWebBrowserControl* opened = nullptr;
        VARIANT_BOOL refuse = VARIANT_FALSE;
        if (OnNewWindow3)
            OnNewWindow3(this, opened, refuse, 0, LocationURL(), url);
        else if (OnNewWindow2)
            OnNewWindow2(this, opened, refuse);
        cancel = refuse != VARIANT_FALSE;
        if (cancel || opened == nullptr)
            return nullptr;
        return opened->FFindDialog->Engine.get();
    };
    events.WindowClosing = [this](bool isChild, bool& cancel) {
        if (!OnWindowClosing)
            return;
        VARIANT_BOOL refuse = cancel ? VARIANT_TRUE : VARIANT_FALSE;
        OnWindowClosing(this, isChild ? VARIANT_TRUE : VARIANT_FALSE, refuse);
        cancel = refuse != VARIANT_FALSE;
    };
    events.DocumentComplete = [this] {
        if (OnDocumentComplete && !FUnloaded)
            OnDocumentComplete(this);
    };
    events.KeyDown = [this](std::uint16_t& key) {
        if (!OnKeyDown)
            return;
        TShiftState shift = 0;
        if (GetKeyState(VK_SHIFT) < 0)
            shift |= ssShift;
        if (GetKeyState(VK_CONTROL) < 0)
            shift |= ssCtrl;
        if (GetKeyState(VK_MENU) < 0)
            shift |= ssAlt;
        OnKeyDown(this, key, 0, shift);
    };
    side.Engine = NewHostedEngine(parent, options, std::move(events));
    side.Engine->SetRegisterAsDropTarget(FRegisterAsDropTarget && FDropHandlingType != ddtNo);
    if (!side.PendingUrl.empty()) {
        const String url = std::exchange(side.PendingUrl, String());
        side.Engine->Navigate(url);
    }
}

void TWebBrowserControl::Show() {
    if (FFindDialog->Engine != nullptr)
        ShowWindow(FFindDialog->Engine->Handle(), SW_SHOW);
}

bool TWebBrowserControl::Visible() const {
    return FFindDialog->Engine != nullptr && IsWindowVisible(FFindDialog->Engine->Handle());
}

void TWebBrowserControl::SetFocus() {
    if (FFindDialog->Engine != nullptr)
        ::SetFocus(FFindDialog->Engine->Handle());
}

namespace {

// PrintWindow's flag for drawing content that only the compositor holds
// (Windows 8.1 and later; an older system refuses the call, and the
// control's pixels are then copied from the screen).
constexpr UINT PrintFullContent = 0x00000002;

// The control's area as it shows: 24-bit pixels, rows from the top, each
// padded to 4 bytes.
struct TSnapshotPixels {
    UINT Width = 0;
    UINT Height = 0;
    UINT Stride = 0;
    std::vector<BYTE> Bytes;
};

// Draws the control's window into pixels. The top-level window draws
// itself with everything inside it, also where other windows cover it, and
// the control's area is cut out of that; where the system cannot draw it so,
// the control's pixels are copied from the screen.
bool CaptureControl(HWND control, TSnapshotPixels& pixels) {
    RECT client{};
    if (!GetClientRect(control, &client) || client.right <= 0 || client.bottom <= 0)
        return false;
    const HWND root = GetAncestor(control, GA_ROOT);
    RECT outer{};
    POINT origin{0, 0};
    if (root == nullptr || !GetWindowRect(root, &outer) || !ClientToScreen(control, &origin))
        return false;
    const int rootWidth = outer.right - outer.left;
    const int rootHeight = outer.bottom - outer.top;
    const int left = origin.x - outer.left;
    const int top = origin.y - outer.top;
    const int width = client.right;
    const int height = client.bottom;

    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bool whole = left >= 0 && top >= 0 && left + width <= rootWidth && top + height <= rootHeight;
    info.bmiHeader.biWidth = whole ? rootWidth : width;
    info.bmiHeader.biHeight = -(whole ? rootHeight : height);
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool drawn = false;
    if (bitmap != nullptr && memory != nullptr) {
        const HGDIOBJ previous = SelectObject(memory, bitmap);
        if (whole)
            drawn = PrintWindow(root, memory, PrintFullContent) != FALSE;
        if (!drawn) {
            whole = false;
            const HDC own = GetDC(control);
            drawn = BitBlt(memory, 0, 0, width, height, own, 0, 0, SRCCOPY) != FALSE;
            ReleaseDC(control, own);
        }
        GdiFlush();
        SelectObject(memory, previous);
    }
    if (drawn) {
        const LONG rowWidth = info.bmiHeader.biWidth;
        const int fromX = whole ? left : 0;
        const int fromY = whole ? top : 0;
        pixels.Width = static_cast<UINT>(width);
        pixels.Height = static_cast<UINT>(height);
        pixels.Stride = (pixels.Width * 3 + 3) & ~3u;
        pixels.Bytes.assign(static_cast<std::size_t>(pixels.Stride) * pixels.Height, 0);
        const auto* source = static_cast<const BYTE*>(bits);
        for (int y = 0; y < height; ++y) {
            const BYTE* from =
                source + (static_cast<std::size_t>(fromY + y) * rowWidth + fromX) * 4;
            BYTE* to = pixels.Bytes.data() + static_cast<std::size_t>(y) * pixels.Stride;
            for (int x = 0; x < width; ++x, from += 4, to += 3) {
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
            }
        }
    }
    if (bitmap != nullptr)
        DeleteObject(bitmap);
    if (memory != nullptr)
        DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return drawn;
}

// Encodes pixels as a PNG file at target. The image is written to a new
// file beside target first and renamed over it once complete, so target is
// either the old file or the whole new image, never a part of one.
bool WritePng(const TSnapshotPixels& pixels, const std::wstring& target) {
    std::wstring folder = target;
    const std::size_t slash = folder.find_last_of(L"\\/");
    folder = slash == std::wstring::npos ? L"." : folder.substr(0, slash + 1);
    wchar_t partial[MAX_PATH] = {};
    if (GetTempFileNameW(folder.c_str(), L"fvs", 0, partial) == 0)
        return false;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    bool written = false;
    {
        TComPtr<IWICImagingFactory> factory;
        TComPtr<IWICStream> stream;
        TComPtr<IWICBitmapEncoder> encoder;
        TComPtr<IWICBitmapFrameEncode> frame;
        TComPtr<IPropertyBag2> options;
        WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
        written =
            SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IWICImagingFactory,
                                       reinterpret_cast<void**>(factory.Put()))) &&
            SUCCEEDED(factory->CreateStream(stream.Put())) &&
            SUCCEEDED(stream->InitializeFromFilename(partial, GENERIC_WRITE)) &&
            SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.Put())) &&
            SUCCEEDED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache)) &&
            SUCCEEDED(encoder->CreateNewFrame(frame.Put(), options.Put())) &&
            SUCCEEDED(frame->Initialize(options.Get())) &&
            SUCCEEDED(frame->SetSize(pixels.Width, pixels.Height)) &&
            SUCCEEDED(frame->SetPixelFormat(&format)) &&
            IsEqualGUID(format, GUID_WICPixelFormat24bppBGR) &&
            SUCCEEDED(frame->WritePixels(pixels.Height, pixels.Stride,
                                         static_cast<UINT>(pixels.Bytes.size()),
                                         const_cast<BYTE*>(pixels.Bytes.data()))) &&
            SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit()) &&
            SUCCEEDED(stream->Commit(STGC_DEFAULT));
        // The file is closed with the stream, before it is renamed.
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    written = written && MoveFileExW(partial, target.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    if (!written)
        DeleteFileW(partial);
    return written;
}

} // namespace

void TWebBrowserControl::SaveSnapshot(const std::string& path,
                                      std::function<void(bool written)> done) {
    // The path comes as the process's environment and command line give
    // text to narrow strings: in the ANSI code page.
    bool written = false;
    const int length =
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    TSnapshotPixels pixels;
    if (length > 0 && FFindDialog->Engine != nullptr &&
        CaptureControl(FFindDialog->Engine->Handle(), pixels)) {
        std::wstring target(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), target.data(),
                            length);
        written = WritePng(pixels, target);
    }
    if (done)
        done(written);
}

void TWebBrowserControl::SetRegisterAsDropTarget(bool value) {
    FRegisterAsDropTarget = value;
    if (FFindDialog->Engine != nullptr)
        FFindDialog->Engine->SetRegisterAsDropTarget(value && FDropHandlingType != ddtNo);
}

// ddtNo: the engine's document window loses its drop registration and the
// engine takes no drops.
void TWebBrowserControl::SetDropHandlingType(TDragDropHandlingType value) {
    FDropHandlingType = value;
    if (FFindDialog->Engine != nullptr && value == ddtNo)
        FFindDialog->Engine->SetRegisterAsDropTarget(false);
}

void TWebBrowserControl::SetUserInterfaceOptions(TUserInterfaceOptions value) {
    FUserInterfaceOptions = value;
    FHostFlags = HostFlagsOf(value);
    if (FFindDialog->Engine != nullptr)
        FFindDialog->Engine->SetHostInfoFlags(FHostFlags);
}

void TWebBrowserControl::Navigate(const String& url) {
    if (FUnloaded)
        return;
    if (FFindDialog->Engine == nullptr)
        FFindDialog->PendingUrl = url;
    else
        FFindDialog->Engine->Navigate(url);
}

void TWebBrowserControl::Unload() {
    if (FUnloaded)
        return;
    FUnloaded = true;
    Silent = true;
    FFindDialog->PendingUrl.clear();
    if (FFindDialog->Engine != nullptr) {
        FFindDialog->Engine->DetachExternal();
        FFindDialog->Engine->Navigate(u"about:blank");
    }
}

void TWebBrowserControl::ShowFindDialog() {
    if (FFindDialog->Engine != nullptr)
        FFindDialog->Engine->ShowFindDialog();
}

void TWebBrowserControl::PrintPreview() {
    if (FFindDialog->Engine == nullptr)
        throw Exception(u"No document to print");
    FFindDialog->Engine->PrintPreview();
}

String TWebBrowserControl::LocationURL() const {
    return FFindDialog->Engine != nullptr ? FFindDialog->Engine->LocationURL() : String();
}

} // namespace Folivant::BrowserControl
