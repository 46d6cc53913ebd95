#include "shared/IEBrowserFix.h"

#include "base/Text.h"
#include "platform/Registry.h"

#include <unistd.h>

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

// The executable's full path as the system reports it for the running
// program. When the file was deleted or replaced while running, the kernel
// appends " (deleted)"; the name the program was started under is the one
// Initialize used, so Uninitialize must find the same.
std::string ModulePath() {
    std::string path(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0)
            return {};
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted))
        path.resize(path.size() - deleted.size());
    return path;
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
    const std::string path = ModulePath();
    return Utf8ToString(std::string_view(path).substr(path.rfind('/') + 1));
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
