#include "shared/Trace.h"

#include "platform/SystemServices.h"

#include <cstdlib>
#include <string>

namespace Folivant::Shared {

void Trace(std::string_view event) {
    const char* path = std::getenv("FOLIVANT_TRACE");
    if (path == nullptr || *path == '\0')
        return;
    std::string line(event);
    line += '\n';
    Platform::AppendLine(path, line);
}

} // namespace Folivant::Shared
