#pragma once

// Small queries about the machine and the screen.

#include "base/Classes.h"

namespace Folivant::Platform {

// The host name; empty when the system cannot tell it.
String ComputerName();
// The name of the user the process runs as; empty when unknown.
String UserName();
// Width in pixels of text laid out on the default screen in font, a font
// description of family, style and size ("DejaVu Sans 12"); the default font
// when empty.
int TextWidth(const String& font, const String& text);

} // namespace Folivant::Platform
