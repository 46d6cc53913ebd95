#pragma once

// The notification-area icon: the executable's main icon with a tool tip in
// the desktop's notification area, and a handler for left clicks on it.
// Where the desktop has no notification area there is no icon and no error.

#include "base/Classes.h"

#include <functional>
#include <memory>

namespace Folivant::Platform {

class TTrayIcon {
public:
    // No icon, an item of the desktop's notification service, or an icon of
    // the older tray protocol that stands in where there is no such service.
    enum TKind { tkNone, tkStatusNotifierItem, tkStatusIcon };
    using TClickEvent = std::function<void()>;

    // Shows the executable's main icon with hint as its tool tip (at most
    // 127 characters are shown; an empty hint shows the application title).
    // onClick runs on the GUI thread for each left click; a failure it
    // raises is reported like any handler's.
    TTrayIcon(const String& hint, TClickEvent onClick);
    // Removes the icon from the panel.
    ~TTrayIcon();
    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;

    void SetHint(const String& hint);
    // What currently shows the icon.
    TKind Kind() const;
    // The bus name the item owns; empty without a session bus.
    String BusName() const;

    struct TImpl;

private:
    std::unique_ptr<TImpl> FImpl;
};

// The tool tip text for a hint: the hint cut to 127 characters, or the
// application title when the hint is empty.
String TrayIconToolTip(const String& hint);

} // namespace Folivant::Platform
