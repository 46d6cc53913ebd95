#include "platform/ui/MessageBox.h"

namespace Folivant::Platform {

int ClosedAnswer(unsigned flags) {
    switch (flags & 0xF) {
    case MB_OKCANCEL:
        return IDCANCEL;
    case MB_YESNO:
        return IDNO;
    case MB_CLOSE:
        return IDCLOSE;
    default:
        return IDOK;
    }
}

} // namespace Folivant::Platform
