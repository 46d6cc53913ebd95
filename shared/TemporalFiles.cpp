#include "shared/TemporalFiles.h"

#include "base/PosixFiles.h"
#include "base/Text.h"
#include "platform/TemporaryFolder.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace Folivant::Shared {

TTemporalFiles* GlobalTemporalFiles = nullptr;

namespace {

std::string ToPath(const String& path) {
    return StringToUtf8(path);
}

// The user's character-class locale, made once from the environment; the
// process-wide locale set by setlocale is not touched.
locale_t UserCtypeLocale() {
    static const locale_t locale = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
        if (made == static_cast<locale_t>(nullptr))
            made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return made;
    }();
    return locale;
}

char16_t FoldUnit(char16_t unit, locale_t locale) {
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return unit;
    if (locale != static_cast<locale_t>(nullptr)) {
        const wint_t upper = towupper_l(static_cast<wint_t>(unit), locale);
        if (upper != static_cast<wint_t>(unit) && upper <= 0xFFFF)
            return static_cast<char16_t>(upper);
    }
    return UpperCaseUnit(unit);
}

} // namespace

bool SameTextLocale(const String& a, const String& b) {
    if (a.size() != b.size())
        return false;
    const locale_t locale = UserCtypeLocale();
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && FoldUnit(a[i], locale) != FoldUnit(b[i], locale))
            return false;
    return true;
}

TTemporalFilesSystem TTemporalFilesSystem::Real() {
    TTemporalFilesSystem system;
    system.FileExists = [](const String& path) {
        struct stat info {};
        return ::stat(ToPath(path).c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
    };
    system.DeleteFile = [](const String& path) { ::unlink(ToPath(path).c_str()); };
    system.Sleep = [](unsigned milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    };
    return system;
}

TTemporalFiles::TTemporalFiles() : FSystem(TTemporalFilesSystem::Real()) {}

TTemporalFiles::TTemporalFiles(TTemporalFilesSystem system) : FSystem(std::move(system)) {}

TTemporalFiles::~TTemporalFiles() {
    for (const String& path : FFileList) {
        try {
            DeleteOne(path);
        } catch (...) {
            // A failure on one file (out of memory while converting its
            // name) must not keep the later files from being deleted.
        }
    }
}

void TTemporalFiles::DeleteOne(const String& path) {
    for (int tries = 0; tries < MaxDeleteTries && FSystem.FileExists(path); ++tries) {
        FSystem.DeleteFile(path);
        FSystem.Sleep(RetryPauseMs);
    }
}

void TTemporalFiles::Add(const String& path) {
    for (const String& known : FFileList)
        if (SameTextLocale(known, path))
            return;
    FFileList.push_back(path);
}

void InitializeTemporalFiles() {
    if (GlobalTemporalFiles != nullptr)
        return;
    GlobalTemporalFiles = new TTemporalFiles();
    // What runs that died before their shut-down left behind goes now.
    Platform::RemoveAbandonedRunFolders(Platform::TemporaryDir());
}

void FinalizeTemporalFiles() {
    TTemporalFiles* registry = GlobalTemporalFiles;
    GlobalTemporalFiles = nullptr;
    delete registry;
    // Then the run's folder, with whatever else is in it (a file whose
    // writing failed half-way is never registered).
    Platform::RemoveRunFolder();
}

TExclusiveFileStream::TExclusiveFileStream(int handle, String fileName)
    : FHandle(handle), FFileName(std::move(fileName)) {
    struct stat info {};
    if (::fstat(FHandle, &info) == 0) {
        FDevice = info.st_dev;
        FInode = info.st_ino;
    }
}

TExclusiveFileStream::TExclusiveFileStream(TExclusiveFileStream&& other) noexcept
    : FHandle(other.FHandle), FFileName(std::move(other.FFileName)), FDevice(other.FDevice),
      FInode(other.FInode) {
    other.FHandle = -1;
}

TExclusiveFileStream::~TExclusiveFileStream() {
    Close();
}

void TExclusiveFileStream::Close() {
    if (FHandle >= 0)
        ::close(FHandle);
    FHandle = -1;
}

TExclusiveFileStream TExclusiveFileStream::CreateNew(const String& folder, const String& suffix,
                                                     const std::function<String()>& drawName,
                                                     mode_t mode) {
    String fileName;
    int error = EEXIST;
    for (int tries = 0; tries < MaxNameTries && error == EEXIST; ++tries) {
        fileName = folder + drawName() + suffix;
        const int handle = ::open(ToPath(fileName).c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (handle >= 0) {
            // The process umask must not widen or narrow what the caller
            // asked for: an execute kind needs its owner's execute bit.
            ::fchmod(handle, mode);
            return TExclusiveFileStream(handle, fileName);
        }
        error = errno;
    }
    throw EFCreateError(u"Cannot create file \"" + fileName + u"\". " +
                        Utf8ToString(std::strerror(error)));
}

std::int64_t TExclusiveFileStream::Read(void* buffer, std::int64_t count) {
    if (FHandle < 0 || count <= 0)
        return 0;
    const ssize_t got = ::read(FHandle, buffer, static_cast<std::size_t>(count));
    return got < 0 ? 0 : got;
}

std::int64_t TExclusiveFileStream::Write(const void* buffer, std::int64_t count) {
    if (FHandle < 0 || count <= 0)
        return 0;
    return static_cast<std::int64_t>(WriteFull(FHandle, buffer, static_cast<std::size_t>(count)));
}

std::int64_t TExclusiveFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    if (FHandle < 0)
        return -1;
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    return ::lseek(FHandle, offset, whence);
}

bool TExclusiveFileStream::StillAtPath() const {
    struct stat info {};
    return ::lstat(ToPath(FFileName).c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_dev == FDevice && info.st_ino == FInode;
}

} // namespace Folivant::Shared
