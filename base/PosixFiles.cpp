#include "base/PosixFiles.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace Folivant {

void TFd::Reset(int fd) {
    if (FFd >= 0)
        ::close(FFd);
    FFd = fd;
}

ssize_t ReadRetrying(int fd, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

std::size_t ReadFull(int fd, void* buffer, std::size_t size) {
    auto* p = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ReadRetrying(fd, p + done, size - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t WriteFull(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t SendFull(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, p + done, size - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool ReadRest(int fd, std::string& text, std::size_t limit) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ReadRetrying(fd, buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > limit)
            return true;
    }
}

bool ReadWholeFile(const std::filesystem::path& path, std::string& text, std::size_t limit) {
    text.clear();
    const TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.Valid() && ReadRest(fd.Get(), text, limit);
}

TReplacement::TReplacement(std::string pattern)
    : FFd(::mkostemp(pattern.data(), O_CLOEXEC)), FTemp(std::move(pattern)), FCreated(FFd.Valid()) {
}

TReplacement::~TReplacement() {
    // The caller may still read errno of the failure that ends it.
    const int saved = errno;
    FFd.Reset();
    if (FCreated && !FCommitted)
        ::unlink(FTemp.c_str());
    errno = saved;
}

bool TReplacement::Commit(const std::filesystem::path& target, mode_t mode, bool syncFolder) {
    return Finish(mode) && Rename(target, syncFolder);
}

bool TReplacement::Finish(mode_t mode) {
    if (!FFd.Valid()) {
        errno = EBADF;
        return false;
    }
    return (mode == 0 || ::fchmod(FFd.Get(), mode) == 0) && ::fsync(FFd.Get()) == 0 &&
           ::close(FFd.Release()) == 0;
}

bool TReplacement::Rename(const std::filesystem::path& target, bool syncFolder) {
    if (!FCreated || FFd.Valid() || FCommitted) {
        errno = EINVAL;
        return false;
    }
    if (::rename(FTemp.c_str(), target.c_str()) != 0)
        return false;
    FCommitted = true;
    if (syncFolder) {
        // The rename itself must reach the disk, or a crash could bring the
        // old file back after the change was reported done.
        const std::filesystem::path folder =
            target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
        const TFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.Valid())
            ::fsync(dir.Get());
    }
    return true;
}

bool ReplaceFile(const std::filesystem::path& target, std::string_view bytes, mode_t mode,
                 bool syncFolder) {
    TReplacement file(target.string() + ".XXXXXX");
    return file.Valid() && file.Write(bytes) && file.Commit(target, mode, syncFolder);
}

} // namespace Folivant
