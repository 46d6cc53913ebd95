#pragma once

// The browser control on Windows: the WebBrowser ActiveX control embedded in
// place in a child window of its own, with the site object the engine talks
// to (client site, in-place site and frame, control site, document host,
// message boxes, commands, services, ambient properties) and a sink for the
// engine's DWebBrowserEvents2. The engine's host callbacks are answered
// from the options below; its events reach the owner as the callbacks of
// TWebBrowserEvents. Everything runs on the thread that created the host,
// which must be in a single-threaded apartment and pump messages.

#include "base/Classes.h"
#include "browsercontrol/windows/ComObject.h"

#include <windows.h>
#include <exdisp.h>

#include <cstdint>
#include <functional>

namespace Folivant::BrowserControl {

enum class TScriptErrorAction { eaContinue, eaCancel, eaAskUser };

// The context menus of the engine by their ids 0 to 9, and all of them.
inline constexpr unsigned rcmAll = 10;

struct TWebBrowserOptions {
    // DOCHOSTUIFLAG bits for the engine's documents. The default: no text
    // selection (dialog-style document), no help menu, no 3-D border, no
    // PICS ratings.
    DWORD HostInfoFlags = 0x1 | 0x2 | 0x4 | 0x100000;
    // The download-control bits answered for the ambient property:
    // images, videos and background sounds.
    DWORD DownloadControl = 0x70;
    // Bit k set: context menu k (rcmAll: every menu) is not shown.
    std::uint32_t DisabledPopupMenus = 1u << rcmAll;
    // Ctrl plus one of these characters (a letter key as its capital) is
    // swallowed before the engine sees it.
    String DisableCtrlShortcuts = u"Y";
    TScriptErrorAction ScriptErrorAction = TScriptErrorAction::eaContinue;
    // False: the engine may show its own dialogs.
    bool Silent = false;
};

// The engine's events. A callback left empty takes the engine's default.
struct TWebBrowserEvents {
    // Before every navigation, frames included; cancel starts false.
    // frameUrl is the document the navigating frame shows now and topUrl
    // the control's own top document (empty while there is none).
    std::function<void(const String& url, const String& frameUrl, const String& topUrl,
                       bool& cancel)>
        BeforeNavigate2;
    // A page asks for a new window (NewWindow2 and NewWindow3, whichever the
    // engine raises; once it has a window, the other one opens none). The
    // handler may hand back the new control's Application object in
    // application (one reference for the engine) or cancel. url is the
    // address the window opens on and opener the page asking, both empty
    // when the engine does not tell them.
    std::function<void(const String& url, const String& opener, IDispatch*& application,
                       bool& cancel)>
        NewWindow;
    // A script closes the window; cancel starts false.
    std::function<void(bool isChildWindow, bool& cancel)> WindowClosing;
    // A document finished loading: the main document when topLevel, else
    // one of its frames.
    std::function<void(const String& url, bool topLevel)> DocumentComplete;
    // A navigation failed with status (an HRESULT or an HTTP status).
    std::function<void(const String& url, std::int32_t status)> NavigateError;
    // A key-down aimed at the engine; setting key to 0 handles it.
    std::function<void(WORD& key)> KeyDown;
    // The object pages see as window.external (one reference for the
    // engine), or null for none.
    std::function<IDispatch*()> GetExternal;
};

class TBrowserSite;
class TBrowserEventSink;

class TWebBrowserHost {
public:
    // Creates the host window as a child of parent filling bounds, the
    // engine in it, activates the engine in place and connects to its
    // events. A failure is raised as EWebBrowserError.
    TWebBrowserHost(HWND parent, const RECT& bounds, TWebBrowserOptions options,
                    TWebBrowserEvents events);
    TWebBrowserHost(const TWebBrowserHost&) = delete;
    TWebBrowserHost& operator=(const TWebBrowserHost&) = delete;
    // Disconnects the events, deactivates and closes the engine, detaches
    // the site and destroys the host window. Not from inside one of the
    // host's own events: post the destruction instead.
    ~TWebBrowserHost();

    HWND Handle() const { return FWindow; }
    IWebBrowser2* Browser() const { return FBrowser.Get(); }
    const TWebBrowserOptions& Options() const { return FOptions; }
    TWebBrowserEvents& Events() { return FEvents; }

    // Changes the document-host flags and tells the engine, so that
    // documents loaded from now on use them.
    void SetHostInfoFlags(DWORD flags);

    // Starts a navigation; a failure is raised as EWebBrowserError.
    void Navigate(const String& url);
    // Moves the host window and the engine within the parent.
    void SetBounds(const RECT& bounds);

    // The engine's find dialog on the current HTML document; failures and
    // documents that are not HTML are ignored.
    void ShowFindDialog();
    // The engine's print preview of the current HTML document; a failing
    // answer is raised as EWebBrowserError.
    void PrintPreview();

    // Offers a key message from the message loop to the control before it
    // is dispatched; true when the control handled it and it must not be
    // dispatched. Enter is never reported handled.
    bool PreTranslateMessage(MSG& message);

    // The engine's Application object (one reference for the caller).
    IDispatch* Application();
    // The address of the control's top document, empty when none.
    String LocationURL();

    // Tells the engine not to take drops, and takes the drop registration
    // off its document window when that exists.
    void RefuseDrops();

    // The object the engine raises its DWebBrowserEvents2 on (one reference
    // for the caller), so that a test can raise them as the engine does.
    IDispatch* EventSink();

private:
    friend class TBrowserSite;
    friend class TBrowserEventSink;

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK FocusWatch(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR id, DWORD_PTR data);
    // Once the engine's document window exists: watches it and the view
    // window above it for the keyboard focus.
    void WatchDocumentFocus();
    void Destroy();
    bool HasDocument(IDispatch** document);
    void RevokeDocumentDrop();

    TWebBrowserOptions FOptions;
    TWebBrowserEvents FEvents;
    HWND FWindow = nullptr;
    TBrowserSite* FSite = nullptr;
    TBrowserEventSink* FSink = nullptr;
    TComPtr<IOleObject> FOleObject;
    TComPtr<IWebBrowser2> FBrowser;
    TComPtr<IConnectionPoint> FConnectionPoint;
    DWORD FCookie = 0;
    HWND FViewWindow = nullptr;
    HWND FDocumentWindow = nullptr;
    bool FActivating = false;
};

class EWebBrowserError : public Exception {
public:
    using Exception::Exception;
};

} // namespace Folivant::BrowserControl
