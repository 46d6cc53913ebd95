#pragma once

// The registry of files the runtime extracts into the temporary folder so
// that the shell can open them. Every registered file is deleted when the
// registry is destroyed at the end of the run; files the user saved
// elsewhere are never registered and stay.
//
// Also here: the exclusive creation of those files. The temporary folder is
// usually shared with other users, so a file is only ever written after the
// runtime created it itself, under a fresh name, never through an entry
// someone else put there first.

#include "base/Classes.h"
#include "base/SystemFile.h"

#include <functional>
#include <vector>

namespace Folivant::Shared {

// How the registry reaches the file system; the defaults are the real calls.
// Tests replace them to count pauses or to keep a file from going.
struct TTemporalFilesSystem {
    // True when a file (not a folder) exists at the path, links followed.
    std::function<bool(const String& path)> FileExists;
    // Asks the system to delete the file; the outcome is not looked at.
    std::function<void(const String& path)> DeleteFile;
    std::function<void(unsigned milliseconds)> Sleep;

    static TTemporalFilesSystem Real();
};

class TTemporalFiles {
public:
    // Pause after every deletion request before the file is tested again.
    static constexpr unsigned RetryPauseMs = 100;
    // Deletion requests per file before it is left where it is, so that one
    // file held by a program that keeps running neither keeps the process
    // alive nor keeps the later files from going.
    static constexpr int MaxDeleteTries = 50;

    TTemporalFiles();
    explicit TTemporalFiles(TTemporalFilesSystem system);
    // Deletes every registered file, in the order of registration.
    ~TTemporalFiles();
    TTemporalFiles(const TTemporalFiles&) = delete;
    TTemporalFiles& operator=(const TTemporalFiles&) = delete;

    // Appends path unless an entry equal to it, ignoring letter case as the
    // user's locale folds it, is already there. The path is kept as given.
    void Add(const String& path);

    const std::vector<String>& Files() const { return FFileList; }

private:
    void DeleteOne(const String& path);

    std::vector<String> FFileList;
    TTemporalFilesSystem FSystem;
};

// True when a and b are equal once both are upper-cased the way the user's
// locale (LC_CTYPE of the environment) does it; units the locale leaves
// alone follow the Unicode simple mapping.
bool SameTextLocale(const String& a, const String& b);

// The one registry of the run; nil outside unit initialisation and
// finalisation.
extern TTemporalFiles* GlobalTemporalFiles;
// Creates the registry and removes the folders of runs that died before
// their shut-down.
void InitializeTemporalFiles();
// Frees the registry, which deletes the registered files, then removes the
// run's own folder of extracted files.
void FinalizeTemporalFiles();

// Raised when a temporary file cannot be created.
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// A file created exclusively by CreateNew: it did not exist before, no link
// was followed to reach it, and only its owner can read or write it.
class TExclusiveFileStream : public TStream {
public:
    // Names drawn for a new file when the first choices are taken.
    static constexpr int MaxNameTries = 100;

    // Creates folder + drawName() + suffix exclusively, never through a
    // link, with the given permission bits where the system has them
    // (owner only on Windows, as the run's folder is), drawing a new name whenever the one drawn is
    // taken (by a file, a folder or a link). Any other failure, such as a suffix naming a folder
    // that does not exist, raises EFCreateError at once.
    static TExclusiveFileStream CreateNew(const String& folder, const String& suffix,
                                          const std::function<String()>& drawName, unsigned mode);

    TExclusiveFileStream(TExclusiveFileStream&& other) noexcept;
    TExclusiveFileStream& operator=(TExclusiveFileStream&&) = delete;
    ~TExclusiveFileStream() override;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;

    const String& FileName() const { return FFileName; }
    // True while the path still names the very file this stream created,
    // that is, nobody replaced it in the meantime.
    bool StillAtPath() const;
    void Close();

private:
    TExclusiveFileStream(int handle, String fileName);

    int FHandle = -1;
    String FFileName;
    SystemFile::TFileIdentity FIdentity;
    bool FIdentityKnown = false;
};

} // namespace Folivant::Shared
