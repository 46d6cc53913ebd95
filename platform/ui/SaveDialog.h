#pragma once

// The save-file dialog: a modal file chooser in save mode with the
// properties of the framework's save dialog. It hides nothing, can be
// resized, does not ask before replacing a file, and keeps the name chosen
// last for its next use.

#include "base/Classes.h"

namespace Folivant::Platform {

class TSaveDialog {
public:
    // Added, with a ".", to a chosen name whose last component has no
    // extension.
    String DefaultExt;
    // Pairs "Name|patterns" separated by "|", patterns separated by ";":
    // "ZIP|*.zip" is one filter named ZIP matching *.zip. The first is
    // selected.
    String Filter;
    // The full path chosen last; the dialog opens on it. Empty the first
    // time.
    String FileName;
    String Title = u"Save As";

    // Shows the dialog over the active window; true when a name was
    // confirmed, which is then in FileName.
    bool Execute();
};

} // namespace Folivant::Platform
