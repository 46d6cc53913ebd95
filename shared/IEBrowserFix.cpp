#include "shared/IEBrowserFix.h"

#include "base/Text.h"
#include "platform/Registry.h"
#include "platform/SystemServices.h"

#include <string>
#include <string_view>

namespace Folivant::Shared {

using namespace Folivant::Platform;

namespace {

const char16_t* const FeatureKey =
    u"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION";
// The engine reads 10001 as its version 10 standards mode for every page,
// whatever a page's DOCTYPE asks for.
constexpr DWORD EmulationMode = 10001;

// The executable's file name as the system reports it for the running
// program. When the file was deleted or replaced while running, Linux
// appends " (deleted)"; the name the program was started under is the one
// Initialize used, so Uninitialize must find the same.
String ModuleName() {
    String path = Platform::ProcessFileName();
    constexpr std::u16string_view deleted = u" (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted))
        path.resize(path.size() - deleted.size());
#ifdef _WIN32
    const std::size_t separator = path.find_last_of(u"\\/");
#else
    const std::size_t separator = path.rfind(u'/');
#endif
    return separator == String::npos ? path : path.substr(separator + 1);
}

// Closes a key on every path out of a scope.
class TKeyCloser {
public:
    explicit TKeyCloser(HKEY key) : FKey(key) {}
    ~TKeyCloser() { RegCloseKey(FKey); }
    TKeyCloser(const TKeyCloser&) = delete;
    TKeyCloser& operator=(const TKeyCloser&) = delete;

private:
    HKEY FKey;
};

} // namespace

String TIEBrowserFix::ValueName() {
    return ModuleName();
}

void TIEBrowserFix::Initialize() {
    const String name = ValueName();
    HKEY key = nullptr;
    if (RegCreateKeyEx(HKEY_CURRENT_USER, FeatureKey, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                       &key) != ERROR_SUCCESS)
        return;
    TKeyCloser closer(key);
    // A value of that name is kept whatever its type and data.
    if (RegQueryValueEx(key, name, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
        return;
    const std::uint8_t data[4] = {
        static_cast<std::uint8_t>(EmulationMode & 0xFF),
        static_cast<std::uint8_t>((EmulationMode >> 8) & 0xFF),
        static_cast<std::uint8_t>((EmulationMode >> 16) & 0xFF),
        static_cast<std::uint8_t>((EmulationMode >> 24) & 0xFF),
    };
    if (RegSetValueEx(key, name, REG_DWORD, data, sizeof data) != ERROR_SUCCESS)
        throw ERegistryException(u"Failed to set data for '" + name + u"'");
}

void TIEBrowserFix::Uninitialize() {
    const String name = ValueName();
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, FeatureKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    TKeyCloser closer(key);
    if (RegQueryValueEx(key, name, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
        RegDeleteValue(key, name);
}

} // namespace Folivant::Shared
