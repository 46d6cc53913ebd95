// What an author meets when trying a publication: folivant-pack run with
// arguments and an icon, ended by a signal to either process, and settings
// written in UTF-8 read by the runtime as written.

#include "support/RuntimeProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

using namespace Folivant::Testing;

namespace {

bool HaveDisplay() {
    return std::getenv("DISPLAY") != nullptr;
}

// The X windows whose title is exactly title, waiting up to waitMs for one.
std::vector<std::string> WindowsTitled(const std::string& title, int waitMs = 10000) {
    for (int waited = 0;; waited += 100) {
        std::string out = Shell("xdotool search --name '^" + title + "$' 2>/dev/null");
        std::vector<std::string> ids;
        for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
            ids.push_back(out.substr(at, end - at));
        if (!ids.empty() || waited >= waitMs)
            return ids;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::vector<int> Children(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<int> ids;
    for (int id; in >> id;)
        ids.push_back(id);
    return ids;
}

bool LeftRunFolders(const TempDir& tmp) {
    for (const auto& e : std::filesystem::directory_iterator(tmp.Path()))
        if (e.path().filename().string().rfind("folivant-run-", 0) == 0)
            return true;
    return false;
}

class AuthoringRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveDisplay())
            GTEST_SKIP() << "no display";
    }
    TempDir FDir;
};

TEST_F(AuthoringRunTest, RunPassesArgumentsShowsTheIconAndLeavesNothingBehind) {
    WriteFileBytes(FDir / "site/s/index.html",
                   "<!DOCTYPE html><script>var e=window.external;"
                   "location.href='fvp://report?'+encodeURIComponent(JSON.stringify("
                   "[e.appParamCount(),e.appParamStr(1),e.appParamStr(2)]));</script>");
    WriteFileBytes(FDir / "cfg", "[Folivant]\nAppTitle=Tried\nIndexPage=s/index.html\n");
    ASSERT_EQ(
        Shell("convert -size 16x16 xc:#12ab34 " + (FDir / "icon.png").string() + " && echo ok"),
        "ok\n");
    // The packer is signalled, or the publication itself.
    for (const bool signalPublication : {false, true}) {
        SCOPED_TRACE(signalPublication ? "publication signalled" : "packer signalled");
        TempDir tmp;
        TRuntimeProcess run(PackTool(),
                            {"run", (FDir / "site").string(), "--config", (FDir / "cfg").string(),
                             "--runtime", RuntimeExe().string(), "--icon",
                             (FDir / "icon.png").string(), "--", "a b", "c"},
                            {"TMPDIR=" + tmp.Path().string()});
        ASSERT_TRUE(run.WaitForTrace("BeforeNavigate2 fvp://report?"));
        EXPECT_EQ(run.TraceLine("BeforeNavigate2 fvp://report?"),
                  "BeforeNavigate2 fvp://report?%5B%222%22%2C%22a%20b%22%2C%22c%22%5D");
        EXPECT_TRUE(LeftRunFolders(tmp));

        const auto windows = WindowsTitled("Tried");
        ASSERT_EQ(windows.size(), 1u);
        // 16 x 16 pixels of the author's colour, ARGB.
        const std::string icon = Shell("xprop -id " + windows[0] +
                                       " -notype -f _NET_WM_ICON 32c '=$0+\\n' _NET_WM_ICON");
        EXPECT_NE(icon.find("16, 16, " + std::to_string(0xFF12AB34u) + ", " +
                            std::to_string(0xFF12AB34u)),
                  std::string::npos)
            << icon.substr(0, 200);

        const auto children = Children(run.Pid());
        ASSERT_EQ(children.size(), 1u);
        if (signalPublication)
            ::kill(children[0], SIGTERM);
        else
            run.Signal(SIGTERM);
        EXPECT_EQ(run.Wait(), 0);
        EXPECT_FALSE(LeftRunFolders(tmp));
    }
}

TEST_F(AuthoringRunTest, UTF8SettingsGiveTheTitleAndThePasswordAsWritten) {
    // Written as an editor on Linux writes it: UTF-8 without a mark.
    const auto pub = PackPublication(
        FDir, {{"index.html", "<!DOCTYPE html><p>open</p>"}},
        "[Folivant]\nAppTitle=Caf\xC3\xA9 Auteur\nAppPassword=cl\xC3\xA9\nIndexPage=index.html\n");
    TRuntimeProcess run(pub);
    const auto prompt = WindowsTitled("Caf\xC3\xA9 Auteur");
    ASSERT_EQ(prompt.size(), 1u);
    // Other tests' windows may take the focus while the keys go out; then
    // the field is emptied and the password typed again.
    bool opened = false;
    for (int attempt = 0; attempt < 5 && !opened; ++attempt) {
        Shell("xdotool windowfocus --sync " + prompt[0] +
              " key ctrl+a BackSpace type --delay 50 'cl\xC3\xA9' 2>/dev/null");
        opened = run.WaitForTrace("DocumentComplete fvp://index.html", 5000);
    }
    ASSERT_TRUE(opened);
    EXPECT_EQ(WindowsTitled("Caf\xC3\xA9 Auteur").size(), 1u);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(), 0);
}

} // namespace
