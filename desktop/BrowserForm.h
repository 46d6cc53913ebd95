#pragma once

// A browser window: one browser control filling the window and one script
// bridge. The first browser window is embedded in the main window; pages open
// further ones as top-level windows that live until the program ends.

#include "base/Classes.h"
#include "browsercontrol/WebBrowserControl.h"
#include "platform/ui/Forms.h"
#include "shared/BrowserJs.h"
#include "shared/GlobalMainForm.h"

#include <memory>
#include <vector>

namespace Folivant::Shared {

class TBrowserForm {
public:
    // Builds the window and runs its creation handler.
    TBrowserForm();
    ~TBrowserForm();
    TBrowserForm(const TBrowserForm&) = delete;
    TBrowserForm& operator=(const TBrowserForm&) = delete;

    std::unique_ptr<BrowserControl::TWebBrowserControl> WebBrowser;

    const String& Caption() const { return FCaption; }
    // Embeds the window's client area into host, the window of parentForm;
    // the window then has no frame of its own.
    void SetParent(TGlobalMainForm& parentForm, Platform::TForm& host);
    bool HasParent() const { return FParentForm != nullptr; }
    // Outer bounds of a top-level browser window.
    void SetBounds(int left, int top, int width, int height);
    void Show();
    // Closes the window: the close handler runs, the window is hidden and
    // its page unloaded (no sound, timers, windows or dialogs from it).
    void Close();
    bool Visible() const;
    // The top-level window, or nullptr for an embedded one.
    Platform::TForm* Window() const { return FWindow.get(); }
    bool BridgeAvailable() const { return FJavaScript != nullptr; }

    // Opens a new window for a page's request, placed over the main window
    // and owned by the application.
    static TBrowserForm* OpenNewWindow();
    // The new windows the application owns, oldest first.
    static const std::vector<std::unique_ptr<TBrowserForm>>& ApplicationWindows();
    // Frees the new windows; the application does so when it ends.
    static void FreeApplicationWindows();

    // Handlers.
    void FormCreate();
    void FormClose();
    void WebBrowserWindowClosing(BrowserControl::TWebBrowserControl* ASender,
                                 VARIANT_BOOL IsChildWindow, VARIANT_BOOL& Cancel);

private:
    void OpenNewWindow(BrowserControl::TWebBrowserControl*& ppDisp);
    void WebBrowserNewWindow2(BrowserControl::TWebBrowserControl* ASender,
                              BrowserControl::TWebBrowserControl*& ppDisp, VARIANT_BOOL& Cancel);
    void WebBrowserNewWindow3(BrowserControl::TWebBrowserControl* ASender,
                              BrowserControl::TWebBrowserControl*& ppDisp, VARIANT_BOOL& Cancel,
                              std::uint32_t dwFlags, const String& bstrUrlContext,
                              const String& bstrUrl);
    void WebBrowserBeforeNavigate2(BrowserControl::TWebBrowserControl* ASender,
                                   BrowserControl::TWebBrowserControl* pDisp, TVariant& URL,
                                   TVariant& Flags, TVariant& TargetFrameName, TVariant& PostData,
                                   TVariant& Headers, VARIANT_BOOL& Cancel);
    void WebBrowserGetExternal(BrowserControl::TWebBrowserControl* ASender,
                               BrowserControl::TWebBrowserControl*& ppDispatch);
    void WebBrowserGetIDsOfNames(BrowserControl::TWebBrowserControl* ASender,
                                 const std::vector<String>& Names, std::vector<DISPID>& DispIDs,
                                 HRESULT& Rezult);
    void WebBrowserInvoke(BrowserControl::TWebBrowserControl* ASender, DISPID DispID,
                          std::uint16_t Flags, TDispParams& Params, TVariant* VarResult,
                          HRESULT& Rezult);
    void EnsureWindow();

    std::unique_ptr<TBrowserJs> FJavaScript;
    String FCaption;
    std::unique_ptr<Platform::TForm> FWindow;
    TGlobalMainForm* FParentForm = nullptr;
    std::shared_ptr<bool> FAlive;
};

} // namespace Folivant::Shared
