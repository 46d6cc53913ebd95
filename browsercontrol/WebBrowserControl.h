#pragma once

// The browser control: one WebKit web view that hosts the publication's
// pages, and the host answers the pages get from it, as properties and
// events of the control. The control decides which navigations go ahead,
// which new windows open, whether a script may close its window, which keys
// reach the page, whether context menus, text selection and drops happen,
// what a script error does, and it carries window.external: the page's
// calls on it come back to the control as name lookups and invocations.

#include "base/Classes.h"
#include "platform/ui/Forms.h"
#include "platform/ui/KeyMap.h"
#include "shared/BrowserJs.h"
#include "shared/ComTypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

namespace Folivant::BrowserControl {

using Shared::DISPID;
using Shared::HRESULT;
using Shared::TDispParams;
using Shared::TExcepInfo;
using Shared::TVariant;
using Shared::VARIANT_BOOL;

enum TDragDropHandlingType { ddtMS, ddtMy, ddtCustom, ddtNo };

enum TIEPopupMenu {
    rcmDefault,
    rcmImage,
    rcmControl,
    rcmTable,
    rcmSelText,
    rcmAnchor,
    rcmUnKnown,
    rcmImageArt,
    rcmImgDynSrc,
    rcmDebug,
    rcmAll,
};
// A set of TIEPopupMenu: bit k for member k.
using TIEPopupMenus = std::uint32_t;
constexpr TIEPopupMenus PopupMenuBit(TIEPopupMenu m) {
    return 1u << m;
}

enum TScriptErrorAction { eaContinue, eaCancel, eaAskUser };

enum TUserInterfaceOption {
    DisableTextSelect,
    DisableHelpMenu,
    DontUse3DBorders,
    DontUseScrollBars,
    PostponeScriptUntilActive,
    ForceOpenNewWindow,
    Reserved_OFFSCREEN,
    ForceFlatScrollBars,
    InsertDivTagOnEditMode,
    ActivateUIOnlyOnDocClick,
    ConsultBeforeRetrievingBehavior,
    CheckFontSupportsCodePage,
    DisableSubmitUrlInUTF8,
    EnableSubmitUrlInUTF8,
    EnablesFormsAutoComplete,
    ForceSameWindowNavigation,
    EmableImeLocalLanguages,
    EnableThemes,
    DisableThemes,
    DisablePicsRatings,
    DisableFrameSetBorder,
    DisablesAutoNameSpaceCorrection,
    DisableLocalFileAccess,
    DisableUntrustedProtocol,
    CheckNavigationDelegatedToHost,
    EnableRedirectNotification,
    EnableDomWindlessControls,
    EnableWindowedControls,
    ForceUserActivationOnActiveXJava,
};
// A set of TUserInterfaceOption: bit k for member k.
using TUserInterfaceOptions = std::uint32_t;
constexpr TUserInterfaceOptions UiOptionBit(TUserInterfaceOption o) {
    return 1u << o;
}
// The host-flag sum the engine receives for a set of options: member k is
// 2^k up to k = 14 and 2^(k+1) above.
std::uint32_t HostFlagsOf(TUserInterfaceOptions options);

using Platform::ecGoBack;
using Platform::ecGoForward;
using Platform::ecNone;
using Platform::ecRefresh;
using Platform::ssAlt;
using Platform::ssCtrl;
using Platform::ssShift;
using Platform::TEngineCommand;
using Platform::TShiftState;
using Platform::TShiftStateFlag;

struct TDialogBoxes {
    String NewCaption;
    bool ReplaceCaption = true;
    bool ReplaceIcon = true;
};

struct TDisableErrors {
    bool ScriptErrorsSuppressed = true;
};

// The virtual-key code of a GDK key value (letters as their capital letter),
// 0 for keys without one.
std::uint16_t VirtualKeyOf(unsigned keyval);

class TWebBrowserControl;

using TBeforeNavigate2Event = std::function<void(
    TWebBrowserControl* ASender, TWebBrowserControl* pDisp, TVariant& URL, TVariant& Flags,
    TVariant& TargetFrameName, TVariant& PostData, TVariant& Headers, VARIANT_BOOL& Cancel)>;
using TNewWindow2Event = std::function<void(TWebBrowserControl* ASender,
                                            TWebBrowserControl*& ppDisp, VARIANT_BOOL& Cancel)>;
using TNewWindow3Event = std::function<void(
    TWebBrowserControl* ASender, TWebBrowserControl*& ppDisp, VARIANT_BOOL& Cancel,
    std::uint32_t dwFlags, const String& bstrUrlContext, const String& bstrUrl)>;
using TWindowClosingEvent = std::function<void(TWebBrowserControl* ASender,
                                               VARIANT_BOOL IsChildWindow, VARIANT_BOOL& Cancel)>;
using TGetExternalEvent =
    std::function<void(TWebBrowserControl* ASender, TWebBrowserControl*& ppDispatch)>;
using TGetIDsOfNamesEvent =
    std::function<void(TWebBrowserControl* ASender, const std::vector<String>& Names,
                       std::vector<DISPID>& DispIDs, HRESULT& Rezult)>;
using TInvokeEvent =
    std::function<void(TWebBrowserControl* ASender, DISPID DispID, std::uint16_t Flags,
                       TDispParams& Params, TVariant* VarResult, HRESULT& Rezult)>;
using TKeyEventEx = std::function<void(TWebBrowserControl* ASender, std::uint16_t& Key,
                                       std::uint16_t ScanCode, TShiftState Shift)>;
using TNotifyEvent = std::function<void(TWebBrowserControl* ASender)>;
using TFileDownloadEvent = std::function<void(TWebBrowserControl* ASender, const String& URL)>;

// The system's headers on Windows define these, with the same values.
#ifndef DISPATCH_METHOD
inline constexpr std::uint16_t DISPATCH_METHOD = 1;
inline constexpr std::uint16_t DISPATCH_PROPERTYGET = 2;
#endif

class TWebBrowserControl : public Shared::TJsBrowser {
public:
    // A control opened for a page's new-window request shares the opener's
    // engine process and injected scripts; WebKit requires it. Create the
    // control while the new-window event of the opener is being raised and
    // it is related to the opener automatically.
    TWebBrowserControl();
    ~TWebBrowserControl() override;
    TWebBrowserControl(const TWebBrowserControl&) = delete;
    TWebBrowserControl& operator=(const TWebBrowserControl&) = delete;

    // The widget to place in a window.
    GtkWidget* Widget() const;
    // Puts the control into form as its whole client area (see
    // TForm::MakeControlHost); a control in another form moves.
    void PlaceInto(Platform::TForm& form);
    void Show();
    bool Visible() const;
    void SetFocus();
    // Writes the visible part of the page to path as a PNG image once the
    // engine has drawn it; done learns whether the file was written.
    void SaveSnapshot(const std::string& path, std::function<void(bool written)> done);
    WebKitWebView* WebView() const { return FWebView; }

    // Properties.
    bool Silent = false;
    void SetRegisterAsBrowser(bool value) { FRegisterAsBrowser = value; }
    bool RegisterAsBrowser() const { return FRegisterAsBrowser; }
    void SetRegisterAsDropTarget(bool value);
    bool RegisterAsDropTarget() const { return FRegisterAsDropTarget; }
    void SetDropHandlingType(TDragDropHandlingType value);
    TDragDropHandlingType DropHandlingType() const { return FDropHandlingType; }
    TIEPopupMenus DisabledPopupMenus = 0;
    String DisableCtrlShortcuts = u"N";
    void SetUserInterfaceOptions(TUserInterfaceOptions value);
    TUserInterfaceOptions UserInterfaceOptions() const { return FUserInterfaceOptions; }
    std::uint32_t HostFlags() const { return FHostFlags; }
    TScriptErrorAction ScriptErrorAction = eaContinue;
    TDialogBoxes DialogBoxes;
    TDisableErrors DisableErrors;

    // Events.
    TBeforeNavigate2Event OnBeforeNavigate2;
    TNewWindow2Event OnNewWindow2;
    TNewWindow3Event OnNewWindow3;
    TWindowClosingEvent OnWindowClosing;
    TGetExternalEvent OnGetExternal;
    TGetIDsOfNamesEvent OnGetIDsOfNames;
    TInvokeEvent OnInvoke;
    TKeyEventEx OnKeyDown;
    // Raised when the main document of the view has finished loading.
    TNotifyEvent OnDocumentComplete;
    // Raised, once the engine's own event has returned, for a publication
    // document (fvp:) the view cannot show; the engine cannot download
    // those itself. Other addresses it cannot show are downloaded by the
    // engine to where the reader chooses in the save dialog.
    TFileDownloadEvent OnFileDownload;

    // Operations.
    void Navigate(const String& url);
    // Ends the page for a window that was closed: it goes silent at once,
    // runs no more scripts, opens no windows and shows no dialogs, and is
    // replaced by an empty document. The control stays usable as a widget.
    void Unload();
    bool Unloaded() const { return FUnloaded; }
    // The find dialog of this control on the current HTML document.
    void ShowFindDialog() override;
    // The print dialog with its preview of the current HTML document.
    void PrintPreview() override;
    // The automation object handed to the engine for a new window: the
    // control itself, whose view is the one the engine loads into.
    TWebBrowserControl* Application() { return this; }
    String LocationURL() const;

    // The window.external object's dispatch, as the engine calls it.
    HRESULT GetIDsOfNames(const std::vector<String>& names, std::vector<DISPID>& dispIDs);
    HRESULT Invoke(DISPID dispID, std::uint16_t flags, TDispParams& params, TVariant* varResult,
                   TExcepInfo* excepInfo);

    // Decides how one key press reaches the page: true when it is consumed.
    // Exposed for the window's own key routing and for tests.
    bool KeyDown(unsigned keyval, unsigned hardwareKeycode, unsigned modifierState);
    // Carries out an engine command once the current event is over; false
    // when there is nothing to do (no page to go back or forward to).
    bool PostEngineCommand(TEngineCommand command);

    // Answers one host call of a publication page of this control (see
    // BridgeHost.h). Never raises.
    String HandleHostCall(const String& request);

private:
    struct TSignals;
    void ConnectSignals();
    bool HasHtmlDocument() const;
    void ShowScriptError(const String& message, const String& source, int line);
    void ApplyTextSelectionStyle();
    // Closes a new window that has shown no document yet.
    void CloseBlankNewWindow();

    WebKitWebView* FWebView = nullptr;
    // The control's reference on the view, given back when it goes.
    struct TViewRelease {
        void operator()(WebKitWebView* view) const;
    };
    std::unique_ptr<WebKitWebView, TViewRelease> FViewOwner;
    bool FRegisterAsBrowser = false;
    bool FRegisterAsDropTarget = true;
    TDragDropHandlingType FDropHandlingType = ddtMS;
    TUserInterfaceOptions FUserInterfaceOptions =
        UiOptionBit(EnablesFormsAutoComplete) | UiOptionBit(EnableThemes);
    std::uint32_t FHostFlags = 0;
    bool FScriptsStopped = false;
    // Set while a publication document of the page is inside window.open.
    bool FOpenAnnounced = false;
    bool FUnloaded = false;
    // Set for a window the engine opened until its first document shows:
    // if its first address is saved or started instead, it closes.
    bool FBlankNewWindow = false;
    // The key press handled last: unconsumed keys come back a second time
    // with the same event time, and are not routed again.
    std::uint32_t FLastKeyTime = 0;
    unsigned FLastKeyval = 0;
    unsigned FLastKeycode = 0;
    bool FHaveLastKey = false;
    struct TFindDialog;
    std::unique_ptr<TFindDialog> FFindDialog;
    std::shared_ptr<bool> FAlive;
};

} // namespace Folivant::BrowserControl
