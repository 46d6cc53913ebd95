#include "shared/IEBrowserFix.h"

#include "base/Text.h"
#include "platform/Registry.h"

#include "support/RegistrySupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace Folivant::Platform;
using Folivant::String;
using Folivant::TBytes;
using Folivant::Shared::TIEBrowserFix;
using Folivant::Testing::ReadFileBytes;
using Folivant::Testing::RunProcess;
using Folivant::Testing::ScopedConfigHome;
using Folivant::Testing::TempDir;
using Folivant::Testing::WriteFileBytes;

namespace {

const char16_t* const Key =
    u"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\FEATURE_BROWSER_EMULATION";

struct TFound {
    bool KeyExists = false;
    LONG Result = -1;
    DWORD Type = 0;
    TBytes Data;
};

TFound Lookup(const String& name) {
    TFound out;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_CURRENT_USER, Key, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return out;
    out.KeyExists = true;
    std::uint8_t data[64];
    DWORD size = sizeof data;
    out.Result = RegQueryValueEx(key, name, &out.Type, data, &size);
    if (out.Result == ERROR_SUCCESS)
        out.Data.assign(data, data + size);
    RegCloseKey(key);
    return out;
}

void Put(const String& name, DWORD type, const TBytes& data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyEx(HKEY_CURRENT_USER, Key, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, name, type, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

const TBytes Mode10001 = {0x11, 0x27, 0x00, 0x00};
const TBytes Mode11001 = {0xF9, 0x2A, 0x00, 0x00};

} // namespace

// Runs only as the child of RenamedExecutableUsesItsNewName, in a copy of
// this test program under another name.
TEST(IEBrowserFixHelper, InitializeInAChild) {
    const char* step = std::getenv("FOLIVANT_IEFIX_STEP");
    if (step == nullptr)
        GTEST_SKIP() << "helper of another test";
    if (std::strcmp(step, "initialize") == 0)
        TIEBrowserFix::Initialize();
    else
        TIEBrowserFix::Uninitialize();
}

TEST(IEBrowserFix, FirstRunCreatesKeyAndValueAndCloseRemovesOnlyTheValue) {
    ScopedConfigHome home;
    const String name = TIEBrowserFix::ValueName();
    EXPECT_EQ(name, u"folivant_portable_tests");
    EXPECT_FALSE(Lookup(name).KeyExists);

    TIEBrowserFix::Initialize();
    auto found = Lookup(name);
    ASSERT_TRUE(found.KeyExists);
    EXPECT_EQ(found.Result, ERROR_SUCCESS);
    EXPECT_EQ(found.Type, REG_DWORD);
    EXPECT_EQ(found.Data, Mode10001);

    TIEBrowserFix::Uninitialize();
    found = Lookup(name);
    EXPECT_TRUE(found.KeyExists);
    EXPECT_EQ(found.Result, ERROR_FILE_NOT_FOUND);
    // A second close, or a close without a key, stays silent.
    TIEBrowserFix::Uninitialize();
    ScopedConfigHome empty;
    TIEBrowserFix::Uninitialize();
    EXPECT_FALSE(Lookup(name).KeyExists);
}

TEST(IEBrowserFix, AValueFoundAtStartIsKeptAndRemovedAtClose) {
    ScopedConfigHome home;
    const String name = TIEBrowserFix::ValueName();
    struct Case {
        DWORD Type;
        TBytes Data;
    };
    const Case cases[] = {{REG_DWORD, Mode11001}, {REG_SZ, {'x', 0, 0, 0}}, {REG_BINARY, {}}};
    for (const auto& c : cases) {
        Put(name, c.Type, c.Data);
        Put(u"other.exe", REG_DWORD, Mode11001);
        TIEBrowserFix::Initialize();
        const auto found = Lookup(name);
        EXPECT_EQ(found.Type, c.Type);
        EXPECT_EQ(found.Data, c.Data);
        TIEBrowserFix::Uninitialize();
        EXPECT_EQ(Lookup(name).Result, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(Lookup(u"other.exe").Data, Mode11001);
    }
    // Names compare without regard to case, as on Windows.
    String upper = name;
    for (auto& c : upper)
        c = Folivant::UpperCaseUnit(c);
    Put(upper, REG_DWORD, Mode11001);
    TIEBrowserFix::Initialize();
    EXPECT_EQ(Lookup(name).Data, Mode11001);
    TIEBrowserFix::Uninitialize();
    EXPECT_EQ(Lookup(upper).Result, ERROR_FILE_NOT_FOUND);
}

TEST(IEBrowserFix, RenamedExecutableUsesItsNewName) {
    ScopedConfigHome home;
    TempDir dir;
    const auto renamed = dir / "My Publication.run";
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    std::error_code ec;
    std::filesystem::create_hard_link(self, renamed, ec);
    if (ec)
        std::filesystem::copy_file(self, renamed);
    std::filesystem::permissions(renamed, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
    const String oldName = TIEBrowserFix::ValueName();
    Put(oldName, REG_DWORD, Mode11001);

    auto run = [&](const char* step) {
        return RunProcess({renamed.string(), "--gtest_filter=IEBrowserFixHelper.*"},
                          {home.EnvEntry(), std::string("FOLIVANT_IEFIX_STEP=") + step});
    };
    auto r = run("initialize");
    ASSERT_EQ(r.ExitCode, 0) << r.Stdout << r.Stderr;
    EXPECT_EQ(Lookup(u"My Publication.run").Data, Mode10001);
    EXPECT_EQ(Lookup(oldName).Data, Mode11001);

    r = run("uninitialize");
    ASSERT_EQ(r.ExitCode, 0) << r.Stdout << r.Stderr;
    EXPECT_EQ(Lookup(u"My Publication.run").Result, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Lookup(oldName).Data, Mode11001);
}

TEST(IEBrowserFix, AFailedWriteRaisesAndADamagedStoreIsLeftAlone) {
    ScopedConfigHome home;
    Put(u"someone else", REG_DWORD, Mode11001);
    const std::string before = ReadFileBytes(RegistryStorePath());

    // The key exists, so only the value's write touches the disk; a file
    // size limit below the new hive's size makes that write fail (also for
    // root, whom file permissions would not stop).
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{before.size(), before.size()};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string message = "no exception";
        try {
            TIEBrowserFix::Initialize();
        } catch (const ERegistryException& e) {
            message = e.what();
        }
        (void)!::write(pipeFds[1], message.data(), message.size());
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    char buffer[256] = {};
    const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer - 1);
    ::close(pipeFds[0]);
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0),
              "Failed to set data for 'folivant_portable_tests'");
    EXPECT_EQ(ReadFileBytes(RegistryStorePath()), before);

    // A store that does not read back is neither used nor overwritten.
    const std::string damaged = before.substr(0, before.size() - 3);
    WriteFileBytes(RegistryStorePath(), damaged);
    EXPECT_NO_THROW(TIEBrowserFix::Initialize());
    EXPECT_NO_THROW(TIEBrowserFix::Uninitialize());
    EXPECT_EQ(ReadFileBytes(RegistryStorePath()), damaged);
}
