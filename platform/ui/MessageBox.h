#pragma once

// The application's modal message box, shaped like the Windows one: flags
// choose the buttons and the icon, the result names the button pressed.
// Without a display the text goes to standard error and the default button's
// answer is returned, so start-up failures stay observable on headless
// machines.
//
// The names are those of the Windows message box, which <windows.h> defines
// as macros: a file that needs both includes this header first and
// undefines MessageBox, and calls the system's box by its W name.

#include "base/Classes.h"

#ifdef _WIN32
// On Windows the COM values of the engine boundary bring <windows.h> into
// every unit above shared/; its macros of these names give way here.
#include "shared/ComTypes.h"
#undef MessageBox
#undef MB_OK
#undef MB_OKCANCEL
#undef MB_YESNO
#undef MB_ICONERROR
#undef MB_ICONQUESTION
#undef MB_ICONWARNING
#undef MB_ICONINFORMATION
#undef IDOK
#undef IDCANCEL
#undef IDYES
#undef IDNO
#undef IDCLOSE
#endif

namespace Folivant::Platform {

enum : unsigned {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_YESNO = 0x4,
    // One Close button, as the framework's own message dialogs offer; the
    // answer is IDCLOSE, also when the box is closed another way.
    MB_CLOSE = 0x7,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
};

enum : int { IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7, IDCLOSE = 8 };

int MessageBox(const String& text, const String& caption, unsigned flags);

// The answer of a box closed by Esc, by its close button, by the window
// manager or by the shut-down: an OK box answers OK, a box with Cancel
// answers Cancel, a Yes/No box answers No, a Close box answers Close.
int ClosedAnswer(unsigned flags);

// Asks every modal window that is showing to close, as its close button
// would: message boxes and the platform's other dialogs answer as if closed
// (also a box without a close button), and every other modal window (the
// password prompt, the print dialog) gets a close request.
void CloseModalWindows();

} // namespace Folivant::Platform
