#include "base/SystemFile.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

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

int CreateNew(const std::filesystem::path& path, unsigned mode, bool& exists, std::string& error) {
    // CREATE_NEW fails on any name that exists; with FILE_FLAG_OPEN_REPARSE_POINT
    // a link (a symbolic link or a junction, dangling or not) counts as such a
    // name and is never followed. The file's access comes from its folder.
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        error = std::system_category().message(static_cast<int>(code));
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        exists = false;
        error = std::strerror(errno);
        return -1;
    }
    exists = false;
    return fd;
}

namespace {

bool IdentityOf(HANDLE file, TFileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return false;
    identity = {info.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return true;
}

} // namespace

bool Identity(int handle, TFileIdentity& identity) {
    const intptr_t file = ::_get_osfhandle(handle);
    return file != -1 && IdentityOf(reinterpret_cast<HANDLE>(file), identity);
}

bool IdentityAtPath(const std::filesystem::path& path, TFileIdentity& identity) {
    // The name itself, not what a link at it points to.
    const HANDLE file = CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool regular =
        GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    const bool known = regular && IdentityOf(file, identity);
    CloseHandle(file);
    return known;
}

std::filesystem::path PathOfText(std::u16string_view text) {
    return std::filesystem::path(std::wstring(text.begin(), text.end()));
}

String TextOfPath(const std::filesystem::path& path) {
    const std::wstring& native = path.native();
    return String(native.begin(), native.end());
}

bool Truncate(int handle, std::int64_t size) {
    return ::_chsize_s(handle, size) == 0;
}

namespace {

std::int64_t SizeOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return 0;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                     data.nFileSizeLow);
}

} // namespace

std::int64_t EntrySize(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return SizeOf(data);
}

bool EntryExists(const std::filesystem::path& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::int64_t FirstMatchSize(const std::filesystem::path& folder, const std::string& pattern) {
    const std::filesystem::path search =
        folder / std::filesystem::path(std::u8string(pattern.begin(), pattern.end()));
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileExW(search.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return -1;
    std::int64_t size = -1;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        data.dwFileAttributes = found.dwFileAttributes;
        data.nFileSizeHigh = found.nFileSizeHigh;
        data.nFileSizeLow = found.nFileSizeLow;
        size = SizeOf(data);
        break;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return size;
}

bool NameFits(std::u16string_view component) {
    // The file systems of Windows hold up to 255 UTF-16 units in a name.
    return component.size() <= 255;
}

} // namespace Folivant::SystemFile
