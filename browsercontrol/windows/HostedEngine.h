#pragma once

// The hosted WebBrowser control as the browser control's Windows side sees
// it: one engine in a child window of a form's control host, its events as
// plain callbacks, and window.external answered by the script bridge. It
// keeps the engine's own types out of the browser control's unit, whose
// names (the script-error actions, the context-menu ids) the engine host
// declares differently.

#include "base/Classes.h"

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace Folivant::BrowserControl {

class THostedEngine;

struct THostedEngineEvents {
    // Before a navigation that the engine may make. A navigation to the
    // publication (fvp:) from a document that is not the publication's own
    // is refused before this is asked, unless it goes back to a document
    // of the publication that the window has shown.
    std::function<void(const String& url, bool& cancel)> BeforeNavigate;
    // A page asks for a new window on url (empty when the engine does not
    // tell it): the engine of the window opened for it (placed in a form
    // already), or null with cancel to refuse. A window on the publication
    // asked for by a page that is not the publication's own is refused
    // before this is asked.
    std::function<THostedEngine*(const String& url, bool& cancel)> NewWindow;
    std::function<void(bool isChildWindow, bool& cancel)> WindowClosing;
    std::function<void()> DocumentComplete;
    std::function<void(std::uint16_t& key)> KeyDown;
};

struct THostedEngineOptions {
    std::uint32_t HostInfoFlags = 0;
    std::uint32_t DisabledPopupMenus = 0;
    String DisableCtrlShortcuts;
    // 0 continue, 1 cancel, 2 ask the user.
    int ScriptErrorAction = 0;
    bool Silent = false;
};

class THostedEngine {
public:
    virtual ~THostedEngine() = default;
    // The engine's window; it follows the size of its parent from now on.
    virtual HWND Handle() const = 0;
    // Moves the engine's window into parent, filling its client area.
    virtual void PlaceInto(HWND parent) = 0;
    virtual void SetHostInfoFlags(std::uint32_t flags) = 0;
    virtual void Navigate(const String& url) = 0;
    virtual String LocationURL() = 0;
    virtual void ShowFindDialog() = 0;
    virtual void PrintPreview() = 0;
    // From now on window.external knows no name and runs no call; a sound
    // the page started last stops.
    virtual void DetachExternal() = 0;
    // Whether the engine takes drops; refusing them also takes the drop
    // registration off its document window.
    virtual void SetRegisterAsDropTarget(bool value) = 0;
};

// The engine whose window is window or lies below it, as the object it
// raises its events on and as its Application object, for tests that raise
// the engine's events as the engine does. One reference for the caller;
// null when no engine is there.
IDispatch* EngineEventSinkBelow(HWND window);
IDispatch* EngineApplicationBelow(HWND window);

// Creates the engine in a child window of parent filling its client area.
// The thread is made a single-threaded OLE apartment first if it is none.
// A failure is raised as an Exception.
std::unique_ptr<THostedEngine> NewHostedEngine(HWND parent, const THostedEngineOptions& options,
                                               THostedEngineEvents events);

} // namespace Folivant::BrowserControl
