#pragma once

// The GTK side of modal dialogs, for platform code and the browser control.

#include "platform/ui/MessageBox.h"

typedef struct _GtkDialog GtkDialog;

namespace Folivant::Platform {

// Runs a dialog modally and answers its response, as gtk_dialog_run does,
// while registered with the modal windows that CloseModalWindows closes (it
// then answers GTK_RESPONSE_DELETE_EVENT, also without a close button).
// Once the shut-down was requested the dialog is not shown at all and the
// answer is GTK_RESPONSE_DELETE_EVENT, as if it had been closed at once.
int RunModalDialog(GtkDialog* dialog);

} // namespace Folivant::Platform
