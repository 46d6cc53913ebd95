#pragma once

// The main icon as a GDK picture, for the platform's windows and tray icon.

#include "platform/ui/MainIcon.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

namespace Folivant::Platform {

// A new reference to the icon, or nullptr when the executable has none or it
// cannot be decoded.
GdkPixbuf* LoadMainIcon();

} // namespace Folivant::Platform
