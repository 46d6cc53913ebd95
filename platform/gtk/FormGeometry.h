#pragma once

// Outer bounds of top-level windows. The system measures windows by their
// outer size, frame included; GTK sizes the client area. The frame is known
// only once the window manager has framed the window, so a size asked for
// earlier is corrected once when the window is first configured.

#include "platform/ui/Forms.h"

typedef struct _GtkWindow GtkWindow;

namespace Folivant::Platform {

// The window's outer bounds in screen pixels: the frame as the window manager
// reports it once mapped, before that the bounds asked for.
TOuterBounds GetOuterBounds(GtkWindow* window);
// Asks for an outer size; minimum is the smallest outer size allowed.
void SetOuterSize(GtkWindow* window, int width, int height, int minWidth = 0, int minHeight = 0);
// Places the frame's top-left corner.
void SetOuterPosition(GtkWindow* window, int left, int top);

} // namespace Folivant::Platform
