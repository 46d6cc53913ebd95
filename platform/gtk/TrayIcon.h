#pragma once

// The notification-area icon. Current Linux panels speak the
// StatusNotifierItem protocol over D-Bus: the icon owns a bus name
// org.kde.StatusNotifierItem-<pid>-<n>, serves the item at
// /StatusNotifierItem and registers with the StatusNotifierWatcher; the
// panel's Activate (a left click) calls the click handler. Where no watcher
// is on the bus, an X11 tray icon (GtkStatusIcon) stands in, and the item
// moves to the watcher as soon as one appears. Without either there is no
// icon and no error.

#include "base/Classes.h"

#include <functional>
#include <memory>

typedef struct _GtkWindow GtkWindow;

namespace Folivant::Platform {

class TTrayIcon {
public:
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

// Hiding through the tray takes the window and its taskbar entry away;
// showing brings both back and raises the window.
void HideToTray(GtkWindow* window);
void RestoreFromTray(GtkWindow* window);

} // namespace Folivant::Platform
