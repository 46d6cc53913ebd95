#pragma once

// The current user's registry, kept in a hive file of Folivant's own under
// $XDG_CONFIG_HOME/folivant/ (by default ~/.config/folivant/). The calls are
// shaped like the Windows ones: keys are opened through handles, every call
// answers a Windows error code, and key and value names compare without
// regard to case while keeping the case they were created with.
//
// Every call reads the file afresh; a change is made under an advisory lock
// on a lock file beside the hive, on the state re-read under that lock, and
// written to a temporary file that is synced and renamed over the hive. So
// runs of several programs at once lose none of each other's changes, and a
// run killed in the middle of a write leaves the previous file intact. A hive
// file that does not read back as one is reported (ERROR_REGISTRY_CORRUPT and
// one line on standard error) and left exactly as it is.

#include "base/Classes.h"

#include <cstdint>
#include <filesystem>

namespace Folivant::Platform {

using LONG = std::int32_t;
using DWORD = std::uint32_t;
using REGSAM = DWORD;
struct TRegKey;
using HKEY = TRegKey*;

// The only predefined root: the current user's hive.
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u});

enum : LONG {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_DISK_FULL = 112,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_LOCK_FAILED = 167,
    ERROR_MORE_DATA = 234,
    ERROR_REGISTRY_CORRUPT = 1015,
    ERROR_REGISTRY_IO_FAILED = 1016,
    ERROR_KEY_DELETED = 1018,
};

enum : DWORD {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

enum : REGSAM {
    KEY_QUERY_VALUE = 0x0001,
    KEY_SET_VALUE = 0x0002,
    KEY_CREATE_SUB_KEY = 0x0004,
    KEY_ENUMERATE_SUB_KEYS = 0x0008,
    KEY_READ = 0x20019,
    KEY_WRITE = 0x20006,
    KEY_ALL_ACCESS = 0xF003F,
};

enum : DWORD {
    REG_OPTION_NON_VOLATILE = 0,
    REG_CREATED_NEW_KEY = 1,
    REG_OPENED_EXISTING_KEY = 2,
};

// The framework's registry error, raised by callers that turn a failed
// registry call into a failure ("Failed to set data for '%s'").
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

// Opens subKey below key, creating it and every missing key above it.
// subKey uses "\" between names; an empty subKey opens key itself again.
// Only non-volatile keys exist here.
LONG RegCreateKeyEx(HKEY key, const String& subKey, DWORD options, REGSAM desired, HKEY* result,
                    DWORD* disposition = nullptr);
// Opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist.
LONG RegOpenKeyEx(HKEY key, const String& subKey, DWORD options, REGSAM desired, HKEY* result);
// As on Windows: with data null only the type and size are answered; a
// buffer smaller than the value gives ERROR_MORE_DATA and the needed size in
// *size; a missing value gives ERROR_FILE_NOT_FOUND. type, data and size may
// each be null (size only when data is).
LONG RegQueryValueEx(HKEY key, const String& valueName, DWORD* type, std::uint8_t* data,
                     DWORD* size);
LONG RegSetValueEx(HKEY key, const String& valueName, DWORD type, const std::uint8_t* data,
                   DWORD size);
LONG RegDeleteValue(HKEY key, const String& valueName);
LONG RegCloseKey(HKEY key);

// The hive file of the current user and the folder it lives in.
std::filesystem::path RegistryStoreFolder();
std::filesystem::path RegistryStorePath();

} // namespace Folivant::Platform
