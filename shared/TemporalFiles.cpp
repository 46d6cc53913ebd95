#include "shared/TemporalFiles.h"

#include "base/Text.h"
#include "platform/SystemServices.h"
#include "platform/TemporaryFolder.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace Folivant::Shared {

TTemporalFiles* GlobalTemporalFiles = nullptr;

namespace {

std::filesystem::path ToPath(const String& path) {
#ifdef _WIN32
    return std::filesystem::path(std::wstring(path.begin(), path.end()));
#else
    return std::filesystem::path(StringToUtf8(path));
#endif
}

// The user's locale first; units it leaves alone follow the Unicode simple
// mapping.
char16_t FoldUnit(char16_t unit) {
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return unit;
    const char16_t upper = Platform::LocaleUpperCase(unit);
    if (upper != unit)
        return upper;
    return UpperCaseUnit(unit);
}

} // namespace

bool SameTextLocale(const String& a, const String& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && FoldUnit(a[i]) != FoldUnit(b[i]))
            return false;
    return true;
}

TTemporalFilesSystem TTemporalFilesSystem::Real() {
    TTemporalFilesSystem system;
    system.FileExists = [](const String& path) {
        std::error_code error;
        const auto status = std::filesystem::status(ToPath(path), error);
        return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
    };
    system.DeleteFile = [](const String& path) {
        std::error_code error;
        const std::filesystem::path name = ToPath(path);
        // Never a folder: a folder that took the file's place stays.
        if (!std::filesystem::is_directory(std::filesystem::symlink_status(name, error)))
            std::filesystem::remove(name, error);
    };
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
    FIdentityKnown = SystemFile::Identity(FHandle, FIdentity);
}

TExclusiveFileStream::TExclusiveFileStream(TExclusiveFileStream&& other) noexcept
    : FHandle(other.FHandle), FFileName(std::move(other.FFileName)), FIdentity(other.FIdentity),
      FIdentityKnown(other.FIdentityKnown) {
    other.FHandle = -1;
}

TExclusiveFileStream::~TExclusiveFileStream() {
    Close();
}

void TExclusiveFileStream::Close() {
    if (FHandle >= 0)
        SystemFile::Close(FHandle);
    FHandle = -1;
}

TExclusiveFileStream TExclusiveFileStream::CreateNew(const String& folder, const String& suffix,
                                                     const std::function<String()>& drawName,
                                                     unsigned mode) {
    String fileName;
    std::string error;
    bool exists = true;
    for (int tries = 0; tries < MaxNameTries && exists; ++tries) {
        fileName = folder + drawName() + suffix;
        const int handle = SystemFile::CreateNew(ToPath(fileName), mode, exists, error);
        if (handle >= 0)
            return TExclusiveFileStream(handle, fileName);
    }
    throw EFCreateError(u"Cannot create file \"" + fileName + u"\". " + Utf8ToString(error));
}

std::int64_t TExclusiveFileStream::Read(void* buffer, std::int64_t count) {
    if (FHandle < 0 || count <= 0)
        return 0;
    return SystemFile::Read(FHandle, buffer, static_cast<std::size_t>(count));
}

std::int64_t TExclusiveFileStream::Write(const void* buffer, std::int64_t count) {
    if (FHandle < 0 || count <= 0)
        return 0;
    return SystemFile::Write(FHandle, buffer, static_cast<std::size_t>(count));
}

std::int64_t TExclusiveFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    if (FHandle < 0)
        return -1;
    return SystemFile::Seek(FHandle, offset, origin);
}

bool TExclusiveFileStream::StillAtPath() const {
    SystemFile::TFileIdentity now;
    return FIdentityKnown && SystemFile::IdentityAtPath(ToPath(FFileName), now) && now == FIdentity;
}

} // namespace Folivant::Shared
