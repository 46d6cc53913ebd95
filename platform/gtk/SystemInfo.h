#pragma once

// Small queries about the machine and the screen.

#include "base/Classes.h"

typedef struct _PangoFontDescription PangoFontDescription;

namespace Folivant::Platform {

// The host name; empty when the system cannot tell it.
String ComputerName();
// The name of the user the process runs as; empty when unknown.
String UserName();
// Width in pixels of text laid out in font (the default font when null) on
// the default screen.
int TextWidth(const PangoFontDescription* font, const String& text);

} // namespace Folivant::Platform
