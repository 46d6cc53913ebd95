#pragma once

// The main icon that UseMainIconForWindows made the windows' default.

#include <windows.h>

namespace Folivant::Platform {

// The icon at the system's large or small icon size; none before
// UseMainIconForWindows or without an icon resource.
HICON MainWindowIcon(bool small);

} // namespace Folivant::Platform
