#include "shared/Trace.h"

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace Folivant::Shared {

void Trace(std::string_view event) {
    const char* path = std::getenv("FOLIVANT_TRACE");
    if (path == nullptr || *path == '\0')
        return;
    // One write per line with O_APPEND keeps the lines of several processes
    // (and of the web process helpers) whole.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    std::string line(event);
    line += '\n';
    ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
}

} // namespace Folivant::Shared
