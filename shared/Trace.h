#pragma once

// A start-up and shut-down trace for observing the order of the program's
// steps from outside. When FOLIVANT_TRACE names a file, each event is
// appended to it as one line; otherwise nothing is recorded. The program keeps
// no log of its own beyond this.

#include <string_view>

namespace Folivant::Shared {

void Trace(std::string_view event);

} // namespace Folivant::Shared
