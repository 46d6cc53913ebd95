#include "base/SystemFile.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Folivant::SystemFile {

namespace {

// The C runtime's read and write take an unsigned int count.
constexpr std::size_t kMaxTransfer = 1u << 30;

} // namespace

int Open(const std::filesystem::path& path, TFileMode mode, std::string& error) {
    // Binary, so that no line end is translated; not inherited by programs
    // the runtime starts.
    int flags = _O_BINARY | _O_NOINHERIT;
    switch (mode) {
    case TFileMode::fmCreate:
        flags |= _O_RDWR | _O_CREAT | _O_TRUNC;
        break;
    case TFileMode::fmOpenRead:
        flags |= _O_RDONLY;
        break;
    case TFileMode::fmOpenWrite:
        flags |= _O_WRONLY;
        break;
    case TFileMode::fmOpenReadWrite:
        flags |= _O_RDWR;
        break;
    }
    const int fd = ::_wopen(path.c_str(), flags, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        error = std::strerror(errno);
    return fd;
}

void Close(int handle) {
    ::_close(handle);
}

std::int64_t Read(int handle, void* buffer, std::size_t count) {
    std::size_t done = 0;
    auto* p = static_cast<char*>(buffer);
    while (done < count) {
        const int n =
            ::_read(handle, p + done, static_cast<unsigned>(std::min(count - done, kMaxTransfer)));
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
}

std::int64_t Write(int handle, const void* buffer, std::size_t count) {
    std::size_t done = 0;
    const auto* p = static_cast<const char*>(buffer);
    while (done < count) {
        const int n =
            ::_write(handle, p + done, static_cast<unsigned>(std::min(count - done, kMaxTransfer)));
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::int64_t>(done);
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
    return ::_lseeki64(handle, offset, whence);
}

std::int64_t Size(int handle) {
    return ::_filelengthi64(handle);
}

bool ModificationTime(const std::filesystem::path& path, std::int64_t& seconds) {
    struct _stat64 st {};
    if (::_wstat64(path.c_str(), &st) != 0)
        return false;
    seconds = st.st_mtime;
    return true;
}

bool CalendarTime(std::int64_t seconds, bool utc, std::tm& tm) {
    const __time64_t t = seconds;
    return (utc ? _gmtime64_s(&tm, &t) : _localtime64_s(&tm, &t)) == 0;
}

} // namespace Folivant::SystemFile
