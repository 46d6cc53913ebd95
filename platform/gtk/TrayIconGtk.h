#pragma once

// Hiding GTK windows through the tray, for the platform's forms.

#include "platform/ui/TrayIcon.h"

typedef struct _GtkWindow GtkWindow;

namespace Folivant::Platform {

// Hiding through the tray takes the window and its taskbar entry away;
// showing brings both back and raises the window.
void HideToTray(GtkWindow* window);
void RestoreFromTray(GtkWindow* window);

} // namespace Folivant::Platform
