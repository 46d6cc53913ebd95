// The registry interface on Windows: the real HKEY_CURRENT_USER through the
// Reg*W functions. A key handle of the interface carries the system's handle;
// HKEY_CURRENT_USER stands for the system's predefined key. The interface's
// error and type constants have the system's values, so results pass through.
#include "platform/Registry.h"

#include <windows.h>

// The interface's functions have the names the system's headers give to
// macros for their W and A forms.
#undef RegCreateKeyEx
#undef RegOpenKeyEx
#undef RegQueryValueEx
#undef RegSetValueEx
#undef RegDeleteValue

namespace Folivant::Platform {

struct TRegKey {
    ::HKEY Key;
};

namespace {

::HKEY SystemKey(HKEY key) {
    if (key == reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u}))
        return reinterpret_cast<::HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80000001)));
    return key != nullptr ? key->Key : nullptr;
}

const wchar_t* Wide(const String& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Wraps a key the system opened; closes it again when no wrapper can be made.
LONG Wrap(::HKEY opened, HKEY* result) {
    auto* key = new (std::nothrow) TRegKey{opened};
    if (key == nullptr) {
        ::RegCloseKey(opened);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *result = key;
    return ERROR_SUCCESS;
}

} // namespace

LONG RegCreateKeyEx(HKEY key, const String& subKey, DWORD options, REGSAM desired, HKEY* result,
                    DWORD* disposition) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    ::HKEY opened = nullptr;
    ::DWORD how = 0;
    const LONG rc = ::RegCreateKeyExW(SystemKey(key), Wide(subKey), 0, nullptr, options, desired,
                                      nullptr, &opened, &how);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (disposition != nullptr)
        *disposition = how;
    return Wrap(opened, result);
}

LONG RegOpenKeyEx(HKEY key, const String& subKey, DWORD options, REGSAM desired, HKEY* result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    ::HKEY opened = nullptr;
    const LONG rc = ::RegOpenKeyExW(SystemKey(key), Wide(subKey), options, desired, &opened);
    if (rc != ERROR_SUCCESS)
        return rc;
    return Wrap(opened, result);
}

LONG RegQueryValueEx(HKEY key, const String& valueName, DWORD* type, std::uint8_t* data,
                     DWORD* size) {
    ::DWORD systemType = 0;
    ::DWORD systemSize = size != nullptr ? *size : 0;
    const LONG rc = ::RegQueryValueExW(SystemKey(key), Wide(valueName), nullptr, &systemType, data,
                                       size != nullptr ? &systemSize : nullptr);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        if (type != nullptr)
            *type = systemType;
        if (size != nullptr)
            *size = systemSize;
    }
    return rc;
}

LONG RegSetValueEx(HKEY key, const String& valueName, DWORD type, const std::uint8_t* data,
                   DWORD size) {
    return ::RegSetValueExW(SystemKey(key), Wide(valueName), 0, type, data, size);
}

LONG RegDeleteValue(HKEY key, const String& valueName) {
    return ::RegDeleteValueW(SystemKey(key), Wide(valueName));
}

LONG RegCloseKey(HKEY key) {
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (key == reinterpret_cast<HKEY>(std::uintptr_t{0x80000001u}))
        return ERROR_SUCCESS;
    const LONG rc = ::RegCloseKey(key->Key);
    delete key;
    return rc;
}

} // namespace Folivant::Platform
