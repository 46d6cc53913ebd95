#include "platform/Registry.h"

#include "support/RegistrySupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace Folivant::Platform;
using Folivant::String;
using Folivant::TBytes;
using Folivant::Testing::ReadFileBytes;
using Folivant::Testing::ScopedConfigHome;
using Folivant::Testing::WriteFileBytes;

namespace {

struct TStoredValue {
    LONG Result = -1;
    DWORD Type = REG_NONE;
    TBytes Data;
};

TStoredValue Query(HKEY key, const String& name) {
    TStoredValue out;
    DWORD size = 0;
    out.Result = RegQueryValueEx(key, name, &out.Type, nullptr, &size);
    if (out.Result != ERROR_SUCCESS)
        return out;
    out.Data.resize(size);
    out.Result = RegQueryValueEx(key, name, &out.Type, out.Data.data(), &size);
    out.Data.resize(size);
    return out;
}

LONG SetDword(HKEY key, const String& name, DWORD value) {
    std::uint8_t data[4];
    std::memcpy(data, &value, 4);
    return RegSetValueEx(key, name, REG_DWORD, data, 4);
}

HKEY Create(const String& path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    return key;
}

String Name(const char* prefix, int i) {
    const std::string s = prefix + std::to_string(i);
    return String(s.begin(), s.end());
}

} // namespace

TEST(Registry, KeysAndValuesSurviveInTheStoreWithTheirNamesAndTypes) {
    ScopedConfigHome home;
    DWORD disposition = 0;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, u"Software\\Folivant Test\\Deep", 0, KEY_ALL_ACCESS,
                             &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);

    // Names that a careless text format would break.
    const String names[] = {u"plain",
                            u"with \"quotes\" and \\ back\\slash",
                            u"tab\tnew\nline",
                            u"caf\u00E9 \u65E5\u672C \U0001F600",
                            u"lone \xD800 half",
                            u""};
    const TBytes blob = {0x00, 0xFF, 0x0A, 0x22, 0x5C};
    int i = 0;
    for (const auto& name : names)
        ASSERT_EQ(RegSetValueEx(key, name, static_cast<DWORD>(REG_BINARY + i++), blob.data(),
                                static_cast<DWORD>(blob.size())),
                  ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, u"empty", REG_SZ, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // Reopened in another letter case, the same key and values answer.
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"SOFTWARE\\folivant test\\deep", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    i = 0;
    for (const auto& name : names) {
        const auto v = Query(key, name);
        EXPECT_EQ(v.Result, ERROR_SUCCESS);
        EXPECT_EQ(v.Type, static_cast<DWORD>(REG_BINARY + i++));
        EXPECT_EQ(v.Data, blob);
    }
    EXPECT_EQ(Query(key, u"PLAIN").Result, ERROR_SUCCESS);
    const auto empty = Query(key, u"empty");
    EXPECT_EQ(empty.Result, ERROR_SUCCESS);
    EXPECT_EQ(empty.Type, REG_SZ);
    EXPECT_TRUE(empty.Data.empty());

    // Windows' buffer rules.
    std::uint8_t small[2];
    DWORD size = sizeof small;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueEx(key, u"plain", &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, blob.size());
    EXPECT_EQ(RegQueryValueEx(key, u"plain", nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueEx(key, u"plain", nullptr, small, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueEx(key, u"missing", nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    // Creating it again opens it; the first spelling of each name stays.
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, u"software\\FOLIVANT TEST", 0, KEY_ALL_ACCESS, &key,
                             &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);
    const std::string file = ReadFileBytes(RegistryStorePath());
    EXPECT_NE(file.find("\"Software\\\\Folivant Test\\\\Deep\""), std::string::npos) << file;

    struct stat st {};
    ASSERT_EQ(::stat(RegistryStoreFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Registry, RefusesBadHandlesPathsAndAccess) {
    ScopedConfigHome home;
    HKEY key = Create(u"Software\\T");
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"Software\\T", 0, KEY_READ, &readOnly),
              ERROR_SUCCESS);
    HKEY out = nullptr;

    EXPECT_EQ(SetDword(readOnly, u"x", 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValue(readOnly, u"x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyEx(readOnly, u"Sub", 0, KEY_ALL_ACCESS, &out), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValue(key, u"never there"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"Software\\Missing", 0, KEY_READ, &out),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out, nullptr);
    for (const String bad : {u"\\Software", u"Software\\", u"Software\\\\T"}) {
        EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, bad, 0, KEY_ALL_ACCESS, &out),
                  ERROR_INVALID_PARAMETER);
        EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, bad, 0, KEY_READ, &out), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, String(256, u'k'), 0, KEY_ALL_ACCESS, &out),
              ERROR_INVALID_PARAMETER);

    // A closed handle, or something that never was one, is refused, not used.
    ASSERT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(readOnly), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(readOnly, u"x", 1), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Query(reinterpret_cast<HKEY>(std::uintptr_t{0x1234}), u"x").Result,
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(key, u"x", 1), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(Registry, ConcurrentWritersLoseNothing) {
    ScopedConfigHome home;
    RegCloseKey(Create(u"Software\\Shared"));
    constexpr int Writers = 3;
    constexpr int PerWriter = 15;

    auto write = [](const char* prefix) {
        HKEY key = nullptr;
        if (RegOpenKeyEx(HKEY_CURRENT_USER, u"Software\\Shared", 0, KEY_ALL_ACCESS, &key) != 0)
            return false;
        bool ok = true;
        for (int i = 0; i < PerWriter; ++i)
            ok = SetDword(key, Name(prefix, i), static_cast<DWORD>(i)) == ERROR_SUCCESS && ok;
        RegCloseKey(key);
        return ok;
    };

    // Separate processes, as when several publications run at once.
    std::vector<pid_t> children;
    for (int w = 0; w < Writers; ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            ::_exit(write(("process" + std::to_string(w) + "-").c_str()) ? 0 : 1);
        children.push_back(pid);
    }
    // And threads with handles of their own, at the same time.
    std::vector<std::thread> threads;
    std::vector<int> results(Writers);
    for (int w = 0; w < Writers; ++w)
        threads.emplace_back(
            [&, w] { results[w] = write(("thread" + std::to_string(w) + "-").c_str()) ? 1 : 0; });
    for (auto& t : threads)
        t.join();
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (const int r : results)
        EXPECT_EQ(r, 1);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"Software\\Shared", 0, KEY_READ, &key), 0);
    for (const char* kind : {"process", "thread"})
        for (int w = 0; w < Writers; ++w)
            for (int i = 0; i < PerWriter; ++i) {
                const auto prefix = std::string(kind) + std::to_string(w) + "-";
                const auto v = Query(key, Name(prefix.c_str(), i));
                EXPECT_EQ(v.Result, ERROR_SUCCESS) << prefix << i;
                EXPECT_EQ(v.Data, TBytes({static_cast<std::uint8_t>(i), 0, 0, 0}));
            }
    RegCloseKey(key);
}

TEST(Registry, AWriterKilledMidWriteLeavesTheLastCompleteState) {
    ScopedConfigHome home;
    HKEY key = Create(u"Software\\Big");
    const TBytes first(1 << 20, 0x11);
    ASSERT_EQ(RegSetValueEx(key, u"blob", REG_BINARY, first.data(), first.size()), ERROR_SUCCESS);

    for (int round = 0; round < 4; ++round) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Rewrites the megabyte value over and over until killed.
            for (std::uint8_t fill = 0x20;; ++fill) {
                const TBytes data(1 << 20, fill);
                RegSetValueEx(key, u"blob", REG_BINARY, data.data(), data.size());
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40 + 25 * round));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);

        const auto v = Query(key, u"blob");
        ASSERT_EQ(v.Result, ERROR_SUCCESS) << "round " << round;
        ASSERT_EQ(v.Data.size(), first.size());
        EXPECT_EQ(std::count(v.Data.begin(), v.Data.end(), v.Data[0]),
                  static_cast<std::ptrdiff_t>(v.Data.size()));
    }
    // The next change clears the killed writer's temporary file away.
    EXPECT_EQ(SetDword(key, u"after", 1), ERROR_SUCCESS);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(RegistryStoreFolder()))
        files += entry.path().filename().string().find(".tmp") != std::string::npos;
    EXPECT_EQ(files, 0);
    RegCloseKey(key);
}

TEST(Registry, ADamagedStoreIsReportedAndNeverReplaced) {
    ScopedConfigHome home;
    HKEY key = Create(u"Software\\Kept");
    ASSERT_EQ(SetDword(key, u"value", 10001), ERROR_SUCCESS);
    const std::string good = ReadFileBytes(RegistryStorePath());

    std::string flipped = good;
    flipped[flipped.find("11270000")] = '2'; // data changed, checksum not
    const std::string damages[] = {
        good.substr(0, good.size() / 2), // cut short
        flipped,
        good + "value \"extra\" 4 00000000\n",
        "",
        std::string("\x00\x01\x02 not a registry", 18),
    };
    for (const auto& damaged : damages) {
        WriteFileBytes(RegistryStorePath(), damaged);
        HKEY other = nullptr;
        EXPECT_EQ(RegOpenKeyEx(HKEY_CURRENT_USER, u"Software\\Kept", 0, KEY_READ, &other),
                  ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, u"Software\\New", 0, KEY_ALL_ACCESS, &other),
                  ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(SetDword(key, u"value", 1), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(RegDeleteValue(key, u"value"), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(Query(key, u"value").Result, ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(ReadFileBytes(RegistryStorePath()), damaged);
    }
    // Put back, the store is whole again.
    WriteFileBytes(RegistryStorePath(), good);
    EXPECT_EQ(Query(key, u"value").Data, TBytes({0x11, 0x27, 0, 0}));
    RegCloseKey(key);
}

TEST(Registry, StoreLocationFollowsTheUsersConfigFolder) {
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string savedConfig = oldConfig ? oldConfig : "";
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    struct Case {
        const char* Config; // null: unset
        const char* Expected;
    };
    const Case cases[] = {
        {"/srv/cfg", "/srv/cfg/folivant/hkcu.registry"},
        {nullptr, "/home/reader/.config/folivant/hkcu.registry"},
        {"", "/home/reader/.config/folivant/hkcu.registry"},
        // A relative setting is not a valid XDG folder and is ignored.
        {"relative/cfg", "/home/reader/.config/folivant/hkcu.registry"},
    };
    ::setenv("HOME", "/home/reader", 1);
    for (const auto& c : cases) {
        if (c.Config)
            ::setenv("XDG_CONFIG_HOME", c.Config, 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(RegistryStorePath().string(), c.Expected);
    }
    ::setenv("HOME", savedHome.c_str(), 1);
    if (oldConfig)
        ::setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}
