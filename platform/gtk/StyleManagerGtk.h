#pragma once

// The GTK side of the style manager: a style's sheet is GTK CSS, and its
// preview a GDK picture.

#include "platform/ui/StyleManager.h"

typedef struct _GdkPixbuf GdkPixbuf;

namespace Folivant::Platform {

// Draws a small window in the style with caption as its title into a new
// width x height image with alpha (one reference, owned by the caller). The
// active style is not changed. Raises EStyleError without a display.
GdkPixbuf* DrawStylePreview(const TStyleFile& file, int width, int height, const String& caption);

} // namespace Folivant::Platform
