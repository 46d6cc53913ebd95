#include "platform/Registry.h"

#include "archive/Text.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

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
constexpr const char* HiveHeader = "FolivantRegistry 1\n";
constexpr std::size_t MaxNameLength = 255;        // one key name
constexpr std::size_t MaxValueNameLength = 16383; // as on Windows
constexpr std::size_t MaxHiveSize = 64u << 20;

struct TValue {
    String Name;
    DWORD Type = REG_NONE;
    TBytes Data;
};

struct TKeyNode {
    String Path;
    std::vector<TValue> Values;
};

// The whole hive as read from the file. The root key always exists and is
// written only when it holds values.
struct THive {
    std::vector<TKeyNode> Keys;
};

String Folded(const String& s) {
    return UpperCaseUnicode(s);
}

bool SameName(const String& a, const String& b) {
    return a.size() == b.size() && Folded(a) == Folded(b);
}

TKeyNode* FindKey(THive& hive, const String& path) {
    const String folded = Folded(path);
    for (auto& key : hive.Keys)
        if (key.Path.size() == path.size() && Folded(key.Path) == folded)
            return &key;
    return nullptr;
}

TValue* FindValue(TKeyNode& key, const String& name) {
    for (auto& value : key.Values)
        if (SameName(value.Name, name))
            return &value;
    return nullptr;
}

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

// Joins a sub-key path to its base; empty names (leading, trailing or double
// "\") and over-long names are refused.
std::optional<String> JoinPath(const String& base, const String& subKey) {
    if (subKey.empty())
        return base;
    String result = base;
    std::size_t start = 0;
    while (start <= subKey.size()) {
        std::size_t end = subKey.find(u'\\', start);
        if (end == String::npos)
            end = subKey.size();
        if (end == start || end - start > MaxNameLength)
            return std::nullopt;
        if (!result.empty())
            result += u'\\';
        result.append(subKey, start, end - start);
        start = end + 1;
    }
    return result;
}

// ---- File format ------------------------------------------------------------
//
// FolivantRegistry 1
// key "Software\\Folivant"
// value "Name" 4 11270000
// end 1c291ca3
//
// Names are quoted UTF-8 with \\, \" and \xHH (control bytes) escapes and
// \uXXXX for a UTF-16 unit that is half of no pair; data is lower-case
// hexadecimal ("-" when empty). The last line holds the CRC-32 of everything
// before it, so a file that was changed or cut short reads as damaged.

void AppendQuoted(std::string& out, const String& s) {
    static const char* Hex = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            out += StringToUtf8(s.substr(i, 2));
            ++i;
        } else if (high || low) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += Hex[c >> 4];
            out += Hex[c & 15];
        } else {
            out += StringToUtf8(std::u16string_view(&s[i], 1));
        }
    }
    out += '"';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

class THiveParser {
public:
    explicit THiveParser(std::string_view text) : FText(text) {}

    bool Parse(THive& hive) {
        const std::size_t endLine = FText.rfind("\nend ");
        if (FText.substr(0, std::strlen(HiveHeader)) != HiveHeader || endLine == std::string::npos)
            return false;
        const std::string_view body = FText.substr(0, endLine + 1);
        const std::string_view trailer = FText.substr(endLine + 5);
        char expected[16];
        std::snprintf(
            expected, sizeof expected, "%08lx\n",
            crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
        if (trailer != expected)
            return false;
        FPos = std::strlen(HiveHeader);
        FText = body;
        TKeyNode* current = nullptr;
        while (FPos < FText.size()) {
            if (Take("key ")) {
                String path;
                if (!Quoted(path) || !Take("\n") || FindKey(hive, path) != nullptr ||
                    !JoinPath(String(), path))
                    return false;
                hive.Keys.push_back(TKeyNode{path, {}});
                current = &hive.Keys.back();
            } else if (Take("value ")) {
                TValue value;
                if (current == nullptr || !Quoted(value.Name) || !Take(" ") ||
                    !Number(value.Type) || !Take(" ") || !Data(value.Data) || !Take("\n") ||
                    FindValue(*current, value.Name) != nullptr)
                    return false;
                current->Values.push_back(std::move(value));
            } else {
                return false;
            }
        }
        if (FindKey(hive, String()) == nullptr)
            hive.Keys.insert(hive.Keys.begin(), TKeyNode{});
        return true;
    }

private:
    bool Take(std::string_view s) {
        if (FText.substr(FPos, s.size()) != s)
            return false;
        FPos += s.size();
        return true;
    }

    bool Flush(std::string& bytes, String& out) {
        if (!IsWellFormedUtf8(bytes))
            return false;
        out += Utf8ToString(bytes);
        bytes.clear();
        return true;
    }

    bool Quoted(String& out) {
        if (!Take("\""))
            return false;
        std::string bytes;
        while (FPos < FText.size()) {
            const char c = FText[FPos++];
            if (c == '"')
                return Flush(bytes, out);
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                bytes += c;
                continue;
            }
            if (FPos >= FText.size())
                return false;
            const char e = FText[FPos++];
            if (e == '"' || e == '\\') {
                bytes += e;
            } else if (e == 'x' && FPos + 2 <= FText.size() && HexDigit(FText[FPos]) >= 0 &&
                       HexDigit(FText[FPos + 1]) >= 0) {
                bytes += static_cast<char>(HexDigit(FText[FPos]) * 16 + HexDigit(FText[FPos + 1]));
                FPos += 2;
            } else if (e == 'u' && FPos + 4 <= FText.size()) {
                unsigned unit = 0;
                for (int i = 0; i < 4; ++i) {
                    const int d = HexDigit(FText[FPos + i]);
                    if (d < 0)
                        return false;
                    unit = unit * 16 + static_cast<unsigned>(d);
                }
                FPos += 4;
                if (!Flush(bytes, out))
                    return false;
                out += static_cast<char16_t>(unit);
            } else {
                return false;
            }
        }
        return false;
    }

    bool Number(DWORD& out) {
        std::uint64_t value = 0;
        const std::size_t start = FPos;
        while (FPos < FText.size() && FText[FPos] >= '0' && FText[FPos] <= '9' &&
               FPos - start < 10) {
            value = value * 10 + static_cast<unsigned>(FText[FPos] - '0');
            ++FPos;
        }
        if (FPos == start || value > 0xFFFFFFFFu)
            return false;
        out = static_cast<DWORD>(value);
        return true;
    }

    bool Data(TBytes& out) {
        if (Take("-"))
            return true;
        const std::size_t start = FPos;
        while (FPos + 1 < FText.size() && HexDigit(FText[FPos]) >= 0 &&
               HexDigit(FText[FPos + 1]) >= 0) {
            out.push_back(
                static_cast<std::uint8_t>(HexDigit(FText[FPos]) * 16 + HexDigit(FText[FPos + 1])));
            FPos += 2;
        }
        return FPos > start;
    }

    std::string_view FText;
    std::size_t FPos = 0;
};

std::string SerializeHive(const THive& hive) {
    static const char* Hex = "0123456789abcdef";
    std::string out = HiveHeader;
    for (const auto& key : hive.Keys) {
        if (key.Path.empty() && key.Values.empty())
            continue;
        out += "key ";
        AppendQuoted(out, key.Path);
        out += '\n';
        for (const auto& value : key.Values) {
            out += "value ";
            AppendQuoted(out, value.Name);
            out += ' ';
            out += std::to_string(value.Type);
            out += ' ';
            if (value.Data.empty())
                out += '-';
            for (const auto b : value.Data) {
                out += Hex[b >> 4];
                out += Hex[b & 15];
            }
            out += '\n';
        }
    }
    char trailer[32];
    std::snprintf(
        trailer, sizeof trailer, "end %08lx\n",
        crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())));
    return out + trailer;
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

// A file descriptor that closes itself.
class TFd {
public:
    explicit TFd(int fd = -1) : FFd(fd) {}
    ~TFd() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    int Release() { return std::exchange(FFd, -1); }

private:
    int FFd;
};

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
            hive.Keys.push_back(TKeyNode{});
            return ERROR_SUCCESS;
        }
        return ErrnoToError(errno);
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return ErrnoToError(errno);
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > MaxHiveSize)
            break;
    }
    if (text.size() > MaxHiveSize || !THiveParser(text).Parse(hive)) {
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

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
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
    std::string temp = (folder / (std::string(TempPrefix) + "XXXXXX")).string();
    TFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.Get() < 0)
        return ErrnoToError(errno);
    if (!WriteAll(fd.Get(), bytes) || ::fsync(fd.Get()) != 0 || ::close(fd.Release()) != 0 ||
        ::rename(temp.c_str(), RegistryStorePath().c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return ErrnoToError(error);
    }
    // The rename itself must reach the disk, or a crash could bring the old
    // file back after the change was reported done.
    TFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
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
    const auto path = JoinPath(base->Path, subKey);
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (!subKey.empty() && (base->Access & KEY_CREATE_SUB_KEY) == 0)
        return ERROR_ACCESS_DENIED;
    String createdPath;
    bool created = false;
    const LONG rc = ChangeHive([&](THive& hive, bool& changed) -> LONG {
        if (FindKey(hive, base->Path) == nullptr)
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
            if (const TKeyNode* existing = FindKey(hive, candidate)) {
                prefix = existing->Path;
            } else {
                prefix =
                    (prefix.empty() ? String() : prefix + u'\\') + path->substr(start, end - start);
                hive.Keys.push_back(TKeyNode{prefix, {}});
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
    const auto path = JoinPath(base->Path, subKey);
    if (!path)
        return ERROR_INVALID_PARAMETER;
    THive hive;
    if (const LONG rc = ReadHive(hive); rc != ERROR_SUCCESS)
        return rc;
    if (FindKey(hive, base->Path) == nullptr)
        return ERROR_KEY_DELETED;
    const TKeyNode* found = FindKey(hive, *path);
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
    TKeyNode* node = FindKey(hive, handle->Path);
    if (node == nullptr)
        return ERROR_KEY_DELETED;
    const TValue* value = FindValue(*node, valueName);
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
        TKeyNode* node = FindKey(hive, handle->Path);
        if (node == nullptr)
            return ERROR_KEY_DELETED;
        if (TValue* value = FindValue(*node, valueName)) {
            changed = value->Type != type || value->Data != bytes;
            value->Type = type;
            value->Data = bytes;
        } else {
            node->Values.push_back(TValue{valueName, type, bytes});
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
        TKeyNode* node = FindKey(hive, handle->Path);
        if (node == nullptr)
            return ERROR_KEY_DELETED;
        const auto removed = std::erase_if(
            node->Values, [&](const TValue& value) { return SameName(value.Name, valueName); });
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
