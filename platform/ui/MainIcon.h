#pragma once

// The executable's main icon (resource ICON MAINICON), shown by every window
// of the program and by its tray icon.

namespace Folivant::Platform {

// Makes the main icon the default icon of every window created from now on.
// Without an icon the desktop's own stays.
void UseMainIconForWindows();

} // namespace Folivant::Platform
