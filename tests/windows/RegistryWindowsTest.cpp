// The registry interface on Windows writes the real HKEY_CURRENT_USER: what
// it sets, the system's own reg tool reads, and what it deletes is gone. The
// browser emulation value is named after the executable's file.
#include "platform/Registry.h"
#include "shared/IEBrowserFix.h"

#include "base/Text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

namespace Folivant {
namespace {

// The output of a command of the system's reg tool.
std::string Reg(const std::string& command) {
    FILE* pipe = ::_popen(("reg " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return "(reg did not start)";
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr)
        out += buffer;
    ::_pclose(pipe);
    return out;
}

// What reg.exe query says of one value of the key.
std::string RegQuery(const std::string& key, const std::string& value) {
    return Reg("query \"HKCU\\" + key + "\" /v " + value);
}

TEST(WindowsRegistry, ValuesReachTheUsersHiveAndLeaveIt) {
    namespace P = Platform;
    const std::string key = "Software\\Folivant Tests\\" + std::to_string(std::random_device{}());
    P::HKEY handle = nullptr;
    P::DWORD disposition = 0;
    ASSERT_EQ(P::RegCreateKeyEx(P::HKEY_CURRENT_USER, Utf8ToString(key), 0, P::KEY_ALL_ACCESS,
                                &handle, &disposition),
              P::ERROR_SUCCESS);
    EXPECT_EQ(disposition, P::REG_CREATED_NEW_KEY);

    const String text = u"C:\\Program Files\\caf\u00E9.exe";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.c_str());
    const auto size = static_cast<P::DWORD>((text.size() + 1) * sizeof(char16_t));
    ASSERT_EQ(P::RegSetValueEx(handle, u"Path", P::REG_SZ, bytes, size), P::ERROR_SUCCESS);
    const std::uint32_t number = 11001;
    ASSERT_EQ(P::RegSetValueEx(handle, u"Level", P::REG_DWORD,
                               reinterpret_cast<const std::uint8_t*>(&number), sizeof(number)),
              P::ERROR_SUCCESS);

    // Read back through the interface: the size question first, then the data.
    P::DWORD type = 0, needed = 0;
    ASSERT_EQ(P::RegQueryValueEx(handle, u"Path", &type, nullptr, &needed), P::ERROR_SUCCESS);
    EXPECT_EQ(type, P::REG_SZ);
    EXPECT_EQ(needed, size);
    String back(needed / sizeof(char16_t), u'\0');
    P::DWORD small = 4;
    EXPECT_EQ(P::RegQueryValueEx(handle, u"Path", &type,
                                 reinterpret_cast<std::uint8_t*>(back.data()), &small),
              P::ERROR_MORE_DATA);
    ASSERT_EQ(P::RegQueryValueEx(handle, u"Path", &type,
                                 reinterpret_cast<std::uint8_t*>(back.data()), &needed),
              P::ERROR_SUCCESS);
    EXPECT_EQ(back, text + u'\0');

    // The system's own tool sees both values.
    const std::string path = RegQuery(key, "Path");
    EXPECT_NE(path.find("REG_SZ"), std::string::npos) << path;
    EXPECT_NE(path.find("C:\\Program Files\\caf"), std::string::npos) << path;
    const std::string level = RegQuery(key, "Level");
    EXPECT_NE(level.find("0x2af9"), std::string::npos) << level;

    ASSERT_EQ(P::RegDeleteValue(handle, u"Level"), P::ERROR_SUCCESS);
    EXPECT_EQ(P::RegDeleteValue(handle, u"Level"), P::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(P::RegQueryValueEx(handle, u"Level", &type, nullptr, &needed),
              P::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQuery(key, "Level").find("0x2af9"), std::string::npos);
    EXPECT_EQ(P::RegCloseKey(handle), P::ERROR_SUCCESS);

    P::HKEY missing = nullptr;
    EXPECT_EQ(P::RegOpenKeyEx(P::HKEY_CURRENT_USER, Utf8ToString(key + "\\none"), 0, P::KEY_READ,
                              &missing),
              P::ERROR_FILE_NOT_FOUND);
    Reg("delete \"HKCU\\Software\\Folivant Tests\" /f");
}

TEST(WindowsRegistry, BrowserEmulationValueIsNamedAfterTheExecutable) {
    using Shared::TIEBrowserFix;
    const std::string key =
        "Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION";
    EXPECT_EQ(TIEBrowserFix::ValueName(), u"folivant_portable_tests.exe");
    TIEBrowserFix::Initialize();
    const std::string set = RegQuery(key, "folivant_portable_tests.exe");
    EXPECT_NE(set.find("REG_DWORD"), std::string::npos) << set;
    EXPECT_NE(set.find("0x2711"), std::string::npos) << set;
    TIEBrowserFix::Uninitialize();
    EXPECT_EQ(RegQuery(key, "folivant_portable_tests.exe").find("0x2711"), std::string::npos);
}

} // namespace
} // namespace Folivant
