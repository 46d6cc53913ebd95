#include "base/SystemFile.h"

#include "base/PosixFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Folivant::SystemFile {

int Open(const std::filesystem::path& path, TFileMode mode, std::string& error) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case TFileMode::fmCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case TFileMode::fmOpenRead:
        flags |= O_RDONLY;
        break;
    case TFileMode::fmOpenWrite:
        flags |= O_WRONLY;
        break;
    case TFileMode::fmOpenReadWrite:
        flags |= O_RDWR;
        break;
    }
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0)
        error = std::strerror(errno);
    return fd;
}

void Close(int handle) {
    ::close(handle);
}

std::int64_t Read(int handle, void* buffer, std::size_t count) {
    return static_cast<std::int64_t>(ReadFull(handle, buffer, count));
}

std::int64_t Write(int handle, const void* buffer, std::size_t count) {
    return static_cast<std::int64_t>(WriteFull(handle, buffer, count));
}

std::int64_t Seek(int handle, std::int64_t offset, TSeekOrigin origin) {
    int whence = SEEK_SET;
    switch (origin) {
    case TSeekOrigin::soBeginning:
        whence = SEEK_SET;
        break;
    case TSeekOrigin::soCurrent:
        whence = SEEK_CUR;
        break;
    case TSeekOrigin::soEnd:
        whence = SEEK_END;
        break;
    }
    return ::lseek(handle, static_cast<off_t>(offset), whence);
}

std::int64_t Size(int handle) {
    struct stat st {};
    if (::fstat(handle, &st) != 0)
        return -1;
    return st.st_size;
}

bool ModificationTime(const std::filesystem::path& path, std::int64_t& seconds) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    seconds = st.st_mtime;
    return true;
}

bool CalendarTime(std::int64_t seconds, bool utc, std::tm& tm) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    return (utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm)) != nullptr;
}

int CreateNew(const std::filesystem::path& path, unsigned mode, bool& exists, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd < 0) {
        exists = errno == EEXIST;
        error = std::strerror(errno);
        return fd;
    }
    exists = false;
    // The process umask must not widen or narrow what the caller asked for:
    // an execute kind needs its owner's execute bit.
    ::fchmod(fd, static_cast<mode_t>(mode));
    return fd;
}

bool Identity(int handle, TFileIdentity& identity) {
    struct stat st {};
    if (::fstat(handle, &st) != 0)
        return false;
    identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return true;
}

bool IdentityAtPath(const std::filesystem::path& path, TFileIdentity& identity) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return true;
}

} // namespace Folivant::SystemFile
