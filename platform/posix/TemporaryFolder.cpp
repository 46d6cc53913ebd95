#include "platform/TemporaryFolder.h"

#include "base/Text.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace Folivant::Platform {

namespace {

// The lock file of a run folder; the run holds an flock on it for its life.
constexpr char LockFileName[] = ".lock";
// Folders nested deeper than this inside a run folder are left alone.
constexpr int MaxRemovalDepth = 16;

std::mutex RunFolderGuard;
std::string OwnFolder;     // full path without the trailing "/", empty when none
std::string OwnFolderName; // last component
int OwnLock = -1;

std::string ErrorText(int error) {
    return std::strerror(error);
}

// The process id in a run folder's name, or 0 when the name is not one.
pid_t RunFolderPid(const std::string& name) {
    const std::size_t prefix = std::strlen(RunFolderPrefix);
    if (name.compare(0, prefix, RunFolderPrefix) != 0)
        return 0;
    std::size_t at = prefix;
    long long pid = 0;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9' && pid < 1'000'000'000) {
        pid = pid * 10 + (name[at] - '0');
        ++at;
    }
    if (at == prefix || at >= name.size() || name[at] != '-' || name.size() - at - 1 != 6)
        return 0;
    return static_cast<pid_t>(pid);
}

// True while a process with that id exists, also one of another user.
bool ProcessAlive(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Deletes everything inside the open folder dir; nothing is followed out
// of it: links are removed as links, and sub-folders are opened only when
// they are folders themselves.
void RemoveContents(int dir, int depth) {
    // Entries removed while the folder is read may make the reading skip
    // others; a further pass picks them up.
    for (int pass = 0; pass < 3; ++pass) {
        const int listing = ::dup(dir);
        if (listing < 0)
            return;
        DIR* entries = ::fdopendir(listing);
        if (entries == nullptr) {
            ::close(listing);
            return;
        }
        ::rewinddir(entries);
        bool removedAny = false;
        bool left = false;
        while (const dirent* entry = ::readdir(entries)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            if (::unlinkat(dir, name, 0) == 0) {
                removedAny = true;
                continue;
            }
            if (errno != EISDIR && errno != EPERM) {
                left = true;
                continue;
            }
            const int sub = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) {
                if (depth < MaxRemovalDepth)
                    RemoveContents(sub, depth + 1);
                ::close(sub);
            }
            if (::unlinkat(dir, name, AT_REMOVEDIR) == 0)
                removedAny = true;
            else
                left = true;
        }
        ::closedir(entries);
        if (!left || !removedAny)
            return;
    }
}

} // namespace

String TemporaryDir() {
    std::string dir;
    // Callers write into the folder, so one that is not there is no answer.
    struct stat info {};
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && tmpdir[0] == '/' &&
                                                    ::stat(tmpdir, &info) == 0 &&
                                                    S_ISDIR(info.st_mode))
        dir = tmpdir;
    else
        dir = "/tmp";
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir != "/")
        dir += '/';
    return Utf8ToString(dir);
}

String RunFolder(const String& parent) {
    std::lock_guard<std::mutex> lock(RunFolderGuard);
    if (!OwnFolder.empty())
        return Utf8ToString(OwnFolder + "/");
    std::string path =
        StringToUtf8(parent) + RunFolderPrefix + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr)
        throw EStreamError(u"Cannot create folder \"" + Utf8ToString(path) + u"\". " +
                           Utf8ToString(ErrorText(errno)));
    const int dir = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int held = -1;
    int error = 0;
    if (dir >= 0) {
        // The process umask must not open the folder to others.
        ::fchmod(dir, S_IRWXU);
        held = ::openat(dir, LockFileName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        S_IRUSR | S_IWUSR);
        if (held >= 0 && ::flock(held, LOCK_EX) != 0) {
            error = errno;
            ::close(held);
            held = -1;
        } else if (held < 0) {
            error = errno;
        }
    } else {
        error = errno;
    }
    if (held < 0) {
        if (dir >= 0) {
            RemoveContents(dir, 0);
            ::close(dir);
        }
        ::rmdir(path.c_str());
        throw EStreamError(u"Cannot create folder \"" + Utf8ToString(path) + u"\". " +
                           Utf8ToString(ErrorText(error)));
    }
    ::close(dir);
    OwnFolder = path;
    OwnFolderName = path.substr(path.rfind('/') + 1);
    OwnLock = held;
    return Utf8ToString(OwnFolder + "/");
}

void RemoveRunFolder() {
    std::lock_guard<std::mutex> lock(RunFolderGuard);
    if (OwnFolder.empty())
        return;
    const int dir = ::open(OwnFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir >= 0) {
        RemoveContents(dir, 0);
        ::close(dir);
    }
    ::rmdir(OwnFolder.c_str());
    // Released last: until the folder is gone, no other run may take it for
    // an abandoned one and race this removal.
    ::close(OwnLock);
    OwnLock = -1;
    OwnFolder.clear();
    OwnFolderName.clear();
}

int RemoveAbandonedRunFolders(const String& parent) {
    const std::string parentPath = StringToUtf8(parent);
    const int parentDir = ::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentDir < 0)
        return 0;
    std::vector<std::string> candidates;
    if (const int listing = ::dup(parentDir); listing >= 0) {
        if (DIR* entries = ::fdopendir(listing)) {
            while (const dirent* entry = ::readdir(entries))
                if (RunFolderPid(entry->d_name) > 0)
                    candidates.emplace_back(entry->d_name);
            ::closedir(entries);
        } else {
            ::close(listing);
        }
    }
    std::string own;
    {
        std::lock_guard<std::mutex> lock(RunFolderGuard);
        own = OwnFolderName;
    }
    int removed = 0;
    for (const std::string& name : candidates) {
        if (name == own)
            continue;
        const int dir =
            ::openat(parentDir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir < 0)
            continue;
        struct stat info {};
        const int held = ::openat(dir, LockFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        // A run holds its lock for its whole life; between creating its
        // folder and taking the lock, its process is alive.
        const bool abandoned = ::fstat(dir, &info) == 0 && S_ISDIR(info.st_mode) &&
                               info.st_uid == ::geteuid() &&
                               (held < 0 || ::flock(held, LOCK_EX | LOCK_NB) == 0) &&
                               !ProcessAlive(RunFolderPid(name));
        if (abandoned) {
            RemoveContents(dir, 0);
            if (::unlinkat(parentDir, name.c_str(), AT_REMOVEDIR) == 0)
                ++removed;
        }
        if (held >= 0)
            ::close(held);
        ::close(dir);
    }
    ::close(parentDir);
    return removed;
}

} // namespace Folivant::Platform
