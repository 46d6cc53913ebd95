// The program's own resources on Windows: FindResourceW, LoadResource and
// LockResource over the executable's resource section. Names and string
// types compare without regard to case there already. RCDATA is the
// system's numbered type; an icon is an icon group whose images are
// numbered ICON resources, put back together here into an icon file.
#include "platform/ProgramResources.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <mutex>

namespace Folivant::Platform {

namespace {

std::wstring Wide(std::string_view text) {
    return std::wstring(text.begin(), text.end());
}

bool SameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

// The system's name of a type: its number for the types it numbers.
LPCWSTR TypeId(std::string_view type, std::wstring& storage) {
    if (SameAscii(type, "RCDATA"))
        return RT_RCDATA;
    if (SameAscii(type, "ICON"))
        return RT_GROUP_ICON;
    storage = Wide(type);
    return storage.c_str();
}

// A resource name as the system takes it: "#n" is the number n.
LPCWSTR NameId(std::string_view name, std::wstring& storage) {
    if (name.size() > 1 && name[0] == '#' && name.size() <= 6) {
        unsigned number = 0;
        for (char c : name.substr(1)) {
            if (c < '0' || c > '9')
                return (storage = Wide(name)).c_str();
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (number <= 0xFFFF)
            return MAKEINTRESOURCEW(number);
    }
    storage = Wide(name);
    return storage.c_str();
}

std::optional<std::span<const std::uint8_t>> Load(LPCWSTR name, LPCWSTR type) {
    const HMODULE module = GetModuleHandleW(nullptr);
    const HRSRC info = FindResourceW(module, name, type);
    if (info == nullptr)
        return std::nullopt;
    const DWORD size = SizeofResource(module, info);
    const HGLOBAL handle = LoadResource(module, info);
    const void* data = handle != nullptr ? LockResource(handle) : nullptr;
    if (data == nullptr)
        return std::nullopt;
    return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), size);
}

#pragma pack(push, 2)
// The directory of an icon group: an icon file's directory whose entries
// give an image's resource number where the file gives its offset.
struct TGroupEntry {
    BYTE Width, Height, ColorCount, Reserved;
    WORD Planes, BitCount;
    DWORD BytesInRes;
    WORD Id;
};
#pragma pack(pop)
static_assert(sizeof(TGroupEntry) == 14);

// The icon file of an icon group: the directory, then every image.
std::optional<std::string> IconFile(std::span<const std::uint8_t> group) {
    if (group.size() < 6)
        return std::nullopt;
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, sizeof count);
    if (group.size() < 6 + std::size_t(count) * sizeof(TGroupEntry))
        return std::nullopt;
    std::string directory(reinterpret_cast<const char*>(group.data()), 6);
    std::string images;
    const std::size_t dataStart = 6 + std::size_t(count) * 16;
    for (WORD i = 0; i < count; ++i) {
        TGroupEntry entry;
        std::memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
        const auto image = Load(MAKEINTRESOURCEW(entry.Id), RT_ICON);
        if (!image)
            return std::nullopt;
        const DWORD size = static_cast<DWORD>(image->size());
        const DWORD offset = static_cast<DWORD>(dataStart + images.size());
        directory.append(reinterpret_cast<const char*>(&entry), 8);
        directory.append(reinterpret_cast<const char*>(&size), 4);
        directory.append(reinterpret_cast<const char*>(&offset), 4);
        images.append(reinterpret_cast<const char*>(image->data()), image->size());
    }
    return directory + images;
}

BOOL CALLBACK AddName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR context) {
    auto& names = *reinterpret_cast<std::vector<std::string>*>(context);
    if (IS_INTRESOURCE(name)) {
        names.push_back("#" + std::to_string(reinterpret_cast<ULONG_PTR>(name)));
    } else {
        std::string text;
        for (const wchar_t* p = name; *p != 0; ++p)
            text.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
        names.push_back(text);
    }
    return TRUE;
}

} // namespace

std::optional<std::span<const std::uint8_t>> OwnResource(std::string_view type,
                                                         std::string_view name) {
    std::wstring typeStorage, nameStorage;
    const LPCWSTR typeId = TypeId(type, typeStorage);
    const LPCWSTR nameId = NameId(name, nameStorage);
    const auto data = Load(nameId, typeId);
    if (!data || typeId != RT_GROUP_ICON)
        return data;
    // Icon files are made once per name and kept for the run, as the
    // system keeps the resources themselves.
    static std::mutex lock;
    static std::map<std::string, std::string> icons;
    std::string key(name);
    for (char& c : key)
        c = c >= 'a' && c <= 'z' ? char(c - 32) : c;
    std::lock_guard guard(lock);
    auto found = icons.find(key);
    if (found == icons.end()) {
        auto file = IconFile(*data);
        if (!file)
            return std::nullopt;
        found = icons.emplace(key, std::move(*file)).first;
    }
    return std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(found->second.data()), found->second.size());
}

std::vector<std::string> OwnResourceNames(std::string_view type) {
    std::wstring typeStorage;
    std::vector<std::string> names;
    EnumResourceNamesW(GetModuleHandleW(nullptr), TypeId(type, typeStorage), AddName,
                       reinterpret_cast<LONG_PTR>(&names));
    return names;
}

} // namespace Folivant::Platform
