#include "desktop/BrowserForm.h"

#include "base/Text.h"
#include "platform/ui/Application.h"
#include "shared/Trace.h"

namespace Folivant::Shared {

using namespace Folivant::BrowserControl;

namespace {

std::vector<std::unique_ptr<TBrowserForm>>& NewWindows() {
    static std::vector<std::unique_ptr<TBrowserForm>> windows;
    return windows;
}

} // namespace

TBrowserForm::TBrowserForm()
    : WebBrowser(std::make_unique<TWebBrowserControl>()), FAlive(std::make_shared<bool>(true)) {
    // Layout values of the control.
    WebBrowser->Silent = false;
    WebBrowser->DisableCtrlShortcuts = String(1, u'Y');
    WebBrowser->SetUserInterfaceOptions(UiOptionBit(EnablesFormsAutoComplete) |
                                        UiOptionBit(EnableThemes));
    WebBrowser->OnWindowClosing = [this](TWebBrowserControl* sender, VARIANT_BOOL child,
                                         VARIANT_BOOL& cancel) {
        WebBrowserWindowClosing(sender, child, cancel);
    };
    FormCreate();
}

TBrowserForm::~TBrowserForm() {
    *FAlive = false;
    if (WebBrowser != nullptr)
        TBrowserJs::ReleaseSound(*WebBrowser);
    WebBrowser.reset();
    FWindow.reset();
}

void TBrowserForm::FormCreate() {
    FJavaScript = std::make_unique<TBrowserJs>();
    FCaption = ActiveMainForm != nullptr ? ActiveMainForm->Caption() : String();
    if (FWindow != nullptr)
        FWindow->SetCaption(FCaption);
    WebBrowser->SetDropHandlingType(ddtNo);
    WebBrowser->SetRegisterAsBrowser(true);
    WebBrowser->SetRegisterAsDropTarget(false);
    WebBrowser->DisabledPopupMenus = PopupMenuBit(rcmAll);
    WebBrowser->DialogBoxes.NewCaption = FCaption;
    if (ActiveMainForm != nullptr && ActiveMainForm->IsRuntime() &&
        ActiveMainForm->HideJavaScriptError) {
        WebBrowser->ScriptErrorAction = eaContinue;
        WebBrowser->DisableErrors.ScriptErrorsSuppressed = true;
    } else {
        WebBrowser->ScriptErrorAction = eaAskUser;
        WebBrowser->DisableErrors.ScriptErrorsSuppressed = false;
    }
    WebBrowser->SetUserInterfaceOptions(
        UiOptionBit(DisableTextSelect) | UiOptionBit(DisableHelpMenu) |
        UiOptionBit(DontUse3DBorders) | UiOptionBit(DisablePicsRatings));
    WebBrowser->OnInvoke = [this](TWebBrowserControl* s, DISPID id, std::uint16_t flags,
                                  TDispParams& params, TVariant* result, HRESULT& rezult) {
        WebBrowserInvoke(s, id, flags, params, result, rezult);
    };
    WebBrowser->OnGetExternal = [this](TWebBrowserControl* s, TWebBrowserControl*& disp) {
        WebBrowserGetExternal(s, disp);
    };
    WebBrowser->OnGetIDsOfNames = [this](TWebBrowserControl* s, const std::vector<String>& names,
                                         std::vector<DISPID>& ids, HRESULT& rezult) {
        WebBrowserGetIDsOfNames(s, names, ids, rezult);
    };
    WebBrowser->OnNewWindow2 = [this](TWebBrowserControl* s, TWebBrowserControl*& disp,
                                      VARIANT_BOOL& cancel) {
        WebBrowserNewWindow2(s, disp, cancel);
    };
    WebBrowser->OnNewWindow3 = [this](TWebBrowserControl* s, TWebBrowserControl*& disp,
                                      VARIANT_BOOL& cancel, std::uint32_t flags,
                                      const String& context, const String& url) {
        WebBrowserNewWindow3(s, disp, cancel, flags, context, url);
    };
    WebBrowser->OnFileDownload = [](TWebBrowserControl*, const String& url) {
        if (ActiveMainForm != nullptr)
            ActiveMainForm->DownloadFile(url);
    };
    WebBrowser->OnBeforeNavigate2 =
        [this](TWebBrowserControl* s, TWebBrowserControl* disp, TVariant& url, TVariant& flags,
               TVariant& target, TVariant& post, TVariant& headers, VARIANT_BOOL& cancel) {
            WebBrowserBeforeNavigate2(s, disp, url, flags, target, post, headers, cancel);
        };
}

void TBrowserForm::FormClose() {
    // A call that still reaches a closed window finds no bridge and fails
    // in the script.
    FJavaScript.reset();
}

void TBrowserForm::EnsureWindow() {
    if (FWindow != nullptr || FParentForm != nullptr)
        return;
    FWindow = std::make_unique<Platform::TForm>();
    FWindow->SetCaption(FCaption);
    WebBrowser->PlaceInto(*FWindow);
    // The user closing a new window hides it, as a script's close does.
    FWindow->OnCloseQuery = [this] { Close(); };
}

void TBrowserForm::SetParent(TGlobalMainForm& parentForm, Platform::TForm& host) {
    FParentForm = &parentForm;
    // The control moves out of its own window before that window goes.
    WebBrowser->PlaceInto(host);
    FWindow.reset();
}

void TBrowserForm::SetBounds(int left, int top, int width, int height) {
    EnsureWindow();
    if (FWindow == nullptr)
        return;
    FWindow->SetOuterPosition(left, top);
    FWindow->SetOuterSize(width, height);
}

void TBrowserForm::Show() {
    EnsureWindow();
    WebBrowser->Show();
    if (FWindow != nullptr)
        FWindow->Present();
    WebBrowser->SetFocus();
}

bool TBrowserForm::Visible() const {
    if (FWindow != nullptr)
        return FWindow->Visible();
    return WebBrowser->Visible();
}

void TBrowserForm::Close() {
    if (FParentForm != nullptr) {
        FParentForm->Close();
        return;
    }
    if (!Visible() && FJavaScript == nullptr)
        return;
    FormClose();
    Trace("BrowserForm closed");
    if (FWindow != nullptr)
        FWindow->Hide();
    // A hidden window's page would go on playing, running timers and
    // opening windows; it ends with the window, and so does the host sound
    // it started.
    if (TBrowserJs::ReleaseSound(*WebBrowser) && ActiveMainForm != nullptr)
        ActiveMainForm->StopWavSound();
    WebBrowser->Unload();
}

void TBrowserForm::WebBrowserWindowClosing(TWebBrowserControl*, VARIANT_BOOL,
                                           VARIANT_BOOL& Cancel) {
    Cancel = VARIANT_TRUE;
    // The control is still delivering this notification: the close happens
    // once it has returned.
    Platform::PostCallWhileAlive(FAlive, [this] { Close(); });
}

void TBrowserForm::OpenNewWindow(TWebBrowserControl*& ppDisp) {
    ppDisp = OpenNewWindow()->WebBrowser->Application();
}

TBrowserForm* TBrowserForm::OpenNewWindow() {
    NewWindows().push_back(std::make_unique<TBrowserForm>());
    TBrowserForm* form = NewWindows().back().get();
    if (ActiveMainForm != nullptr)
        form->SetBounds(ActiveMainForm->Left() + 15, ActiveMainForm->Top() + 15,
                        ActiveMainForm->Width(), ActiveMainForm->Height());
    form->Show();
    form->WebBrowser->SetRegisterAsBrowser(true);
    Trace("BrowserForm opened");
    return form;
}

const std::vector<std::unique_ptr<TBrowserForm>>& TBrowserForm::ApplicationWindows() {
    return NewWindows();
}

void TBrowserForm::FreeApplicationWindows() {
    auto& windows = NewWindows();
    while (!windows.empty())
        windows.pop_back();
}

void TBrowserForm::WebBrowserNewWindow2(TWebBrowserControl*, TWebBrowserControl*& ppDisp,
                                        VARIANT_BOOL&) {
    OpenNewWindow(ppDisp);
}

void TBrowserForm::WebBrowserNewWindow3(TWebBrowserControl*, TWebBrowserControl*& ppDisp,
                                        VARIANT_BOOL&, std::uint32_t, const String&,
                                        const String&) {
    OpenNewWindow(ppDisp);
}

void TBrowserForm::WebBrowserBeforeNavigate2(TWebBrowserControl*, TWebBrowserControl*,
                                             TVariant& URL, TVariant&, TVariant&, TVariant&,
                                             TVariant&, VARIANT_BOOL& Cancel) {
    String url = VariantToText(URL);
    std::string event = "BeforeNavigate2 ";
    event += StringToUtf8(url);
    Trace(event);
    bool handled = ActiveMainForm != nullptr && ActiveMainForm->HandleDownloableFiles(url);
    Cancel = handled ? VARIANT_TRUE : VARIANT_FALSE;
}

void TBrowserForm::WebBrowserGetExternal(TWebBrowserControl*, TWebBrowserControl*& ppDispatch) {
    ppDispatch = WebBrowser.get();
}

void TBrowserForm::WebBrowserGetIDsOfNames(TWebBrowserControl*, const std::vector<String>& Names,
                                           std::vector<DISPID>& DispIDs, HRESULT& Rezult) {
    if (FJavaScript == nullptr || Names.empty() || DispIDs.empty())
        return;
    std::int32_t id = FJavaScript->FunctionIDByName(Names[0]);
    if (id != -1) {
        Rezult = S_OK;
        DispIDs[0] = id;
    }
}

void TBrowserForm::WebBrowserInvoke(TWebBrowserControl*, DISPID DispID, std::uint16_t,
                                    TDispParams& Params, TVariant* VarResult, HRESULT& Rezult) {
    if (FJavaScript == nullptr)
        throw Folivant::Exception(u"The window has been closed");
    Rezult = S_OK;
    FJavaScript->ExecuteFunction(*WebBrowser, DispID, Params, VarResult);
}

} // namespace Folivant::Shared
