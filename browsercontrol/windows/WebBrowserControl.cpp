// The browser control on Windows: the control's properties and events on
// the hosted WebBrowser control. The engine itself runs window.external
// through the script bridge, shows its own find dialog, plays media through
// the fvp protocol and draws its own drops and context menus from the host
// flags below.
#include "browsercontrol/WebBrowserControl.h"

#include "browsercontrol/windows/HostedEngine.h"
#include "platform/windows/FormsWindows.h"

#include <utility>

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

void TWebBrowserControl::SaveSnapshot(const std::string&, std::function<void(bool written)> done) {
    // The engine draws into its own windows here; no snapshot is taken.
    if (done)
        done(false);
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
