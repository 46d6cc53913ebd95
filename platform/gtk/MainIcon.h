#pragma once

// The executable's main icon (resource ICON MAINICON), shown by every window
// of the program and by its tray icon.

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace Folivant::Platform {

// A new reference to the icon, or nullptr when the executable has none or it
// cannot be decoded.
GdkPixbuf* LoadMainIcon();

// Makes the main icon the default icon of every window created from now on.
// Without an icon the desktop's own stays.
void UseMainIconForWindows();

} // namespace Folivant::Platform
