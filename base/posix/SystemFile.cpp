#include "base/SystemFile.h"

#include "base/PosixFiles.h"
#include "base/Text.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

std::filesystem::path PathOfText(std::u16string_view text) {
    return std::filesystem::path(StringToUtf8(text));
}

String TextOfPath(const std::filesystem::path& path) {
    return Utf8ToString(path.native());
}

bool Truncate(int handle, std::int64_t size) {
    return ::ftruncate(handle, static_cast<off_t>(size)) == 0;
}

std::int64_t EntrySize(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 && ::lstat(path.c_str(), &info) != 0)
        return -1;
    return S_ISDIR(info.st_mode) ? 0 : static_cast<std::int64_t>(info.st_size);
}

bool EntryExists(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::int64_t FirstMatchSize(const std::filesystem::path& folder, const std::string& pattern) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return -1;
    std::int64_t size = -1;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || ::fnmatch(pattern.c_str(), name.c_str(), 0) != 0)
            continue;
        size = EntrySize(folder.string() + "/" + name);
        if (size >= 0)
            break;
    }
    ::closedir(dir);
    return size;
}

bool NameFits(std::u16string_view component) {
    return StringToUtf8(component).size() <= NAME_MAX;
}

} // namespace Folivant::SystemFile
