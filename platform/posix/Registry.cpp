#include "platform/Registry.h"

#include "base/PosixFiles.h"
#include "platform/RegistryHive.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace Folivant::Platform {

struct TRegKey {
    String Path; // full path below the root, "\" between names; empty for the root
    REGSAM Access = 0;
};

namespace {

// The hive file, its lock file and the prefix of its temporary files.
constexpr const char* HiveFileName = "hkcu.registry";
constexpr const char* LockFileName = "hkcu.registry.lock";
constexpr const char* TempPrefix = "hkcu.registry.tmp-";
constexpr std::size_t MaxValueNameLength = 16383; // as on Windows
constexpr std::size_t MaxHiveSize = 64u << 20;

// ---- Handles ----------------------------------------------------------------

std::mutex HandlesLock;
std::unordered_set<TRegKey*>& LiveHandles() {
    static std::unordered_set<TRegKey*> handles;
    return handles;
}

// Copies what a handle names, so that a handle closed by another thread
// meanwhile does no harm.
std::optional<TRegKey> Resolve(HKEY key) {
    if (key == HKEY_CURRENT_USER)
        return TRegKey{String(), KEY_ALL_ACCESS};
    std::lock_guard guard(HandlesLock);
    if (!LiveHandles().contains(key))
        return std::nullopt;
    return *key;
}

HKEY NewHandle(String path, REGSAM access) {
    auto* key = new TRegKey{std::move(path), access};
    std::lock_guard guard(HandlesLock);
    LiveHandles().insert(key);
    return key;
}

// ---- The store on disk --------------------------------------------------------

LONG ErrnoToError(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

std::atomic<bool> DamageReported{false};

void ReportDamage(const std::filesystem::path& path) {
    if (!DamageReported.exchange(true))
        std::fprintf(stderr,
                     "folivant: the registry file %s is damaged; it is left as it is and "
                     "nothing is read from or written to it\n",
                     path.c_str());
}

LONG ReadHive(THive& hive) {
    hive = THive{};
    const auto path = RegistryStorePath();
    TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            hive.Keys.push_back(THiveKey{});
            return ERROR_SUCCESS;
        }
        return ErrnoToError(errno);
    }
    std::string text;
    if (!ReadRest(fd.Get(), text, MaxHiveSize))
        return ErrnoToError(errno);
    if (text.size() > MaxHiveSize || !ParseHive(text, hive)) {
        ReportDamage(path);
        hive = THive{};
        return ERROR_REGISTRY_CORRUPT;
    }
    return ERROR_SUCCESS;
}

LONG EnsureFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder.parent_path(), ec);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return ErrnoToError(errno);
    return ERROR_SUCCESS;
}

// Temporary files left by a writer that was killed; only called under the
// lock, when no other writer can be busy with one.
void RemoveStaleTemporaries(const std::filesystem::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir))
        if (std::strncmp(entry->d_name, TempPrefix, std::strlen(TempPrefix)) == 0)
            ::unlink((folder / entry->d_name).c_str());
    ::closedir(dir);
}

LONG WriteHive(const THive& hive) {
    const auto folder = RegistryStoreFolder();
    const std::string bytes = SerializeHive(hive);
    TReplacement file((folder / (std::string(TempPrefix) + "XXXXXX")).string());
    if (!file.Valid())
        return ErrnoToError(errno);
    // The folder is synced too, or a crash could bring the old file back
    // after the change was reported done.
    if (!file.Write(bytes) || !file.Commit(RegistryStorePath(), 0, true))
        return ErrnoToError(errno);
    return ERROR_SUCCESS;
}

// Runs change on the hive re-read under the exclusive lock and writes the
// hive back when change reports that it changed something.
template <typename F> LONG ChangeHive(F change) {
    const auto folder = RegistryStoreFolder();
    if (const LONG rc = EnsureFolder(folder); rc != ERROR_SUCCESS)
        return rc;
    TFd lock(::open((folder / LockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lock.Get() < 0)
        return ErrnoToError(errno);
    int rc = 0;
    while ((rc = ::flock(lock.Get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0)
        return ERROR_LOCK_FAILED;
    RemoveStaleTemporaries(folder);
    THive hive;
    if (const LONG read = ReadHive(hive); read != ERROR_SUCCESS)
        return read;
    bool changed = false;
    const LONG result = change(hive, changed);
    if (changed) {
        if (const LONG written = WriteHive(hive); written != ERROR_SUCCESS)
            return written;
    }
    return result; // the lock goes with the descriptor
}

LONG ValidValueName(const String& name) {
    return name.size() > MaxValueNameLength ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
}

} // namespace

std::filesystem::path RegistryStoreFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return std::filesystem::path(config) / "folivant";
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] != '\0') {
        home = h;
    } else {
        passwd pw{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr)
            home = found->pw_dir;
    }
    return std::filesystem::path(home.empty() ? "/" : home) / ".config" / "folivant";
}

std::filesystem::path RegistryStorePath() {
    return RegistryStoreFolder() / HiveFileName;
}

LONG RegCreateKeyEx(HKEY key, const String& subKey, DWORD options, REGSAM desired, HKEY* result,
                    DWORD* disposition) {
    if (result == nullptr || options != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    const auto base = Resolve(key);
    if (!base)
        return ERROR_INVALID_HANDLE;
    const auto path = JoinKeyPath(base->Path, subKey);
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (!subKey.empty() && (base->Access & KEY_CREATE_SUB_KEY) == 0)
        return ERROR_ACCESS_DENIED;
    String createdPath;
    bool created = false;
    const LONG rc = ChangeHive([&](THive& hive, bool& changed) -> LONG {
        if (FindHiveKey(hive, base->Path) == nullptr)
            return ERROR_KEY_DELETED;
        // Each missing key on the way is created; existing ones keep the
        // case they were created with.
        String prefix;
        std::size_t start = base->Path.empty() ? 0 : base->Path.size() + 1;
        prefix = base->Path;
        while (start < path->size()) {
            std::size_t end = path->find(u'\\', start);
            if (end == String::npos)
                end = path->size();
            const String candidate = path->substr(0, end);
            if (const THiveKey* existing = FindHiveKey(hive, candidate)) {
                prefix = existing->Path;
            } else {
                prefix =
                    (prefix.empty() ? String() : prefix + u'\\') + path->substr(start, end - start);
                hive.Keys.push_back(THiveKey{prefix, {}});
                changed = true;
                created = true;
            }
            start = end + 1;
        }
        createdPath = prefix;
        return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS)
        return rc;
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewHandle(createdPath, desired);
    return ERROR_SUCCESS;
}

LONG RegOpenKeyEx(HKEY key, const String& subKey, DWORD options, REGSAM desired, HKEY* result) {
    if (result == nullptr || options != 0)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    const auto base = Resolve(key);
    if (!base)
        return ERROR_INVALID_HANDLE;
    const auto path = JoinKeyPath(base->Path, subKey);
    if (!path)
        return ERROR_INVALID_PARAMETER;
    THive hive;
    if (const LONG rc = ReadHive(hive); rc != ERROR_SUCCESS)
        return rc;
    if (FindHiveKey(hive, base->Path) == nullptr)
        return ERROR_KEY_DELETED;
    const THiveKey* found = FindHiveKey(hive, *path);
    if (found == nullptr)
        return ERROR_FILE_NOT_FOUND;
    *result = NewHandle(found->Path, desired);
    return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY key, const String& valueName, DWORD* type, std::uint8_t* data,
                     DWORD* size) {
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    const auto handle = Resolve(key);
    if (!handle)
        return ERROR_INVALID_HANDLE;
    if ((handle->Access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (const LONG rc = ValidValueName(valueName); rc != ERROR_SUCCESS)
        return rc;
    THive hive;
    if (const LONG rc = ReadHive(hive); rc != ERROR_SUCCESS)
        return rc;
    THiveKey* node = FindHiveKey(hive, handle->Path);
    if (node == nullptr)
        return ERROR_KEY_DELETED;
    const THiveValue* value = FindHiveValue(*node, valueName);
    if (value == nullptr)
        return ERROR_FILE_NOT_FOUND;
    if (type != nullptr)
        *type = value->Type;
    const auto needed = static_cast<DWORD>(value->Data.size());
    if (data != nullptr) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed != 0)
            std::memcpy(data, value->Data.data(), needed);
    }
    if (size != nullptr)
        *size = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueEx(HKEY key, const String& valueName, DWORD type, const std::uint8_t* data,
                   DWORD size) {
    if (data == nullptr && size != 0)
        return ERROR_INVALID_PARAMETER;
    const auto handle = Resolve(key);
    if (!handle)
        return ERROR_INVALID_HANDLE;
    if ((handle->Access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (const LONG rc = ValidValueName(valueName); rc != ERROR_SUCCESS)
        return rc;
    const TBytes bytes(data, data + size);
    return ChangeHive([&](THive& hive, bool& changed) -> LONG {
        THiveKey* node = FindHiveKey(hive, handle->Path);
        if (node == nullptr)
            return ERROR_KEY_DELETED;
        if (THiveValue* value = FindHiveValue(*node, valueName)) {
            changed = value->Type != type || value->Data != bytes;
            value->Type = type;
            value->Data = bytes;
        } else {
            node->Values.push_back(THiveValue{valueName, type, bytes});
            changed = true;
        }
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValue(HKEY key, const String& valueName) {
    const auto handle = Resolve(key);
    if (!handle)
        return ERROR_INVALID_HANDLE;
    if ((handle->Access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (const LONG rc = ValidValueName(valueName); rc != ERROR_SUCCESS)
        return rc;
    return ChangeHive([&](THive& hive, bool& changed) -> LONG {
        THiveKey* node = FindHiveKey(hive, handle->Path);
        if (node == nullptr)
            return ERROR_KEY_DELETED;
        const auto removed = std::erase_if(node->Values, [&](const THiveValue& value) {
            return SameRegistryName(value.Name, valueName);
        });
        changed = removed != 0;
        return changed ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    {
        std::lock_guard guard(HandlesLock);
        if (LiveHandles().erase(key) == 0)
            return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}

} // namespace Folivant::Platform
