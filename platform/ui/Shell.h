#pragma once

// Handing files to the desktop, as the shell's "open" verb does: a document
// opens in the default application for its type, a folder in the file
// manager, and a native executable (an ELF image or a "#!" script with its
// execute bit) is started directly, as an .exe would be.

#include "base/Classes.h"

namespace Folivant::Platform {

// Opens path and returns at once; true when the request was accepted. args
// are passed to a program that is started directly and ignored otherwise.
// A text with a URI scheme ("https://...") opens in the scheme's handler.
bool ShellOpen(const String& path, const String& args);

// Tells the desktop that file associations changed: rebuilds the user's
// MIME and desktop-entry caches where those folders exist, which the
// desktop's monitors pick up. False when a cache could not be rebuilt.
bool RefreshAssociations();

} // namespace Folivant::Platform
