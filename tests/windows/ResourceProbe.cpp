// Lists the resources of an executable through the Windows resource API:
// its own (no argument) or another file's, loaded as a data file, which also
// works for a 32-bit file from this 64-bit program. One line per resource,
//   TYPE NAME LANGUAGE SIZE CRC32
// then the FOLDATA resource as FindResourceW finds it, the strings and the
// fixed file version of the version information, whether the icon MAINICON loads, and the PE
// checksum as stored and as computed.
// The packer's tests compare these lines before and after it writes FOLDATA.

#include <windows.h>

#include <imagehlp.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Name(LPCWSTR name) {
    if (IS_INTRESOURCE(name))
        return "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name));
    std::string out;
    for (; *name != 0; ++name)
        out.push_back(*name < 0x80 ? static_cast<char>(*name) : '?');
    return out;
}

// Size and CRC of a resource, or "missing".
std::string Describe(HMODULE module, HRSRC found) {
    if (found == nullptr)
        return "missing";
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr)
        return "unloadable";
    char line[64];
    std::snprintf(line, sizeof line, "%lu %08lx", static_cast<unsigned long>(size),
                  static_cast<unsigned long>(Crc32(static_cast<const std::uint8_t*>(bytes), size)));
    return line;
}

struct TListing {
    HMODULE Module;
    LPCWSTR Type;
    LPCWSTR Name;
};

BOOL CALLBACK OnLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR) {
    std::printf("%s %s %u %s\n", Name(type).c_str(), Name(name).c_str(), language,
                Describe(module, FindResourceExW(module, type, name, language)).c_str());
    return TRUE;
}

BOOL CALLBACK OnName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR) {
    EnumResourceLanguagesW(module, type, name, OnLanguage, 0);
    return TRUE;
}

BOOL CALLBACK OnType(HMODULE module, LPWSTR type, LONG_PTR) {
    EnumResourceNamesW(module, type, OnName, 0);
    return TRUE;
}

// The version information as GetFileVersionInfoW and VerQueryValueW give
// it: one line for each string of the US English Unicode table, and the
// fixed file version.
void PrintVersionInfo(const std::wstring& file) {
    static const wchar_t* const Strings[] = {L"ProductName", L"FileDescription", L"CompanyName",
                                             L"FileVersion", L"ProductVersion"};
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<std::uint8_t> info(size);
    const char* problem = size == 0                                                  ? "none"
                          : !GetFileVersionInfoW(file.c_str(), 0, size, info.data()) ? "unreadable"
                                                                                     : nullptr;
    for (const wchar_t* name : Strings) {
        void* value = nullptr;
        UINT length = 0;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        std::printf("%s %s\n", Name(name).c_str(),
                    problem != nullptr ? problem
                    : !VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0
                        ? "absent"
                        : Name(static_cast<LPCWSTR>(value)).c_str());
    }
    void* value = nullptr;
    UINT length = 0;
    if (problem == nullptr && VerQueryValueW(info.data(), L"\\", &value, &length) &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        std::printf("FixedFileVersion %lu.%lu.%lu.%lu\n",
                    static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                    static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                    static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)),
                    static_cast<unsigned long>(LOWORD(fixed->dwFileVersionLS)));
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring file;
    HMODULE module = nullptr;
    if (argc > 1) {
        file = argv[1];
        module = LoadLibraryExW(file.c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (module == nullptr) {
            std::printf("cannot load %lu\n", GetLastError());
            return 1;
        }
    } else {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        file = self;
    }
    EnumResourceTypesW(module, OnType, 0);
    std::printf("FindResourceW FOLDATA %s\n",
                Describe(module, FindResourceW(module, L"FOLDATA", MAKEINTRESOURCEW(10))).c_str());
    PrintVersionInfo(file);
    HANDLE icon = LoadImageW(module != nullptr ? module : GetModuleHandleW(nullptr), L"MAINICON",
                             IMAGE_ICON, 32, 32, 0);
    std::printf("MAINICON %s\n", icon != nullptr ? "loads" : "does not load");
    DWORD stored = 0, computed = 0;
    if (MapFileAndCheckSumW(file.c_str(), &stored, &computed) != CHECKSUM_SUCCESS)
        std::printf("checksum unreadable\n");
    else
        std::printf("checksum stored %08lx computed %08lx\n", static_cast<unsigned long>(stored),
                    static_cast<unsigned long>(computed));
    return 0;
}
