// The built runtime with real packed publications: the start-up and
// shut-down order, every way a run ends, the main window as its settings
// shape it, Esc, and the script bridge as a page sees it.

#include "support/RuntimeProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include <sys/stat.h>

using namespace Folivant::Testing;

namespace {

const char* const IndexPage = "<!DOCTYPE html><title>x</title><p>index</p>";

bool HaveDisplay() {
    return std::getenv("DISPLAY") != nullptr;
}

std::string Settings(const std::string& extra) {
    return "[Folivant]\nIndexPage=index.html\n" + extra;
}

// The property line xprop prints for one property of a window.
std::string Property(const std::string& window, const std::string& name) {
    return Shell("xprop -id " + window + " " + name + " 2>/dev/null");
}

struct TGeometry {
    int X = -1, Y = -1, Width = -1, Height = -1;
};

TGeometry Geometry(const std::string& window) {
    std::string info = Shell("xwininfo -id " + window + " 2>/dev/null");
    TGeometry g;
    std::smatch m;
    auto number = [&](const char* label, int& out) {
        if (std::regex_search(info, m, std::regex(std::string(label) + R"(\s+(-?\d+))")))
            out = std::stoi(m[1]);
    };
    number("Absolute upper-left X:", g.X);
    number("Absolute upper-left Y:", g.Y);
    number("Width:", g.Width);
    number("Height:", g.Height);
    return g;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveDisplay())
            GTEST_SKIP() << "no display";
    }
    std::filesystem::path Pack(const std::string& settings,
                               std::map<std::string, std::string> files = {}) {
        if (files.find("index.html") == files.end())
            files["index.html"] = IndexPage;
        return PackPublication(FDir, files, settings);
    }
    TempDir FDir;
};

TEST_F(MainWindowTest, StartsAndEndsInOrderOnEverySignal) {
    auto pub = Pack(Settings("AppTitle=Order\n"));
    for (int sig : {SIGTERM, SIGINT}) {
        TRuntimeProcess run(pub);
        ASSERT_TRUE(run.WaitForTrace("DocumentComplete fvp://index.html"));
        run.Signal(sig);
        EXPECT_EQ(run.Wait(), 0);
        std::vector<std::string> expected = {
            "init GlobalMainForm",
            "create MainForm",
            "FormCreate ActiveMainForm",
            "FormCreate TrySetStyle",
            "FormCreate AskAccessPassword",
            "FormCreate IEBrowserFix.Initialize",
            "FormCreate CreateFvpProtocol",
            "FormCreate Caption",
            "FormCreate CreateBrowserWindow",
            "message loop",
            "BeforeNavigate2 fvp://index.html",
            "DocumentComplete fvp://index.html",
            "signal",
            "FormClose begin",
            "FormClose IEBrowserFix.Uninitialize",
            "FormClose BrowserForm freed",
            "FormClose FvpProtocol freed",
            "message loop ended",
            "final GlobalMainForm",
            "application freed",
        };
        EXPECT_EQ(run.Trace(), expected);
    }
}

TEST_F(MainWindowTest, AScriptClosingTheFirstWindowEndsTheRun) {
    auto pub = Pack(Settings("AppTitle=Closing\n"),
                    {{"index.html", "<!DOCTYPE html><script>history.pushState({}, '', '#two');"
                                    "setTimeout(function(){window.close()}, 200)</script>"}});
    TRuntimeProcess run(pub);
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_TRUE(run.HasTrace("FormClose FvpProtocol freed"));
    EXPECT_TRUE(run.HasTrace("final GlobalMainForm"));
}

TEST_F(MainWindowTest, ARuntimeWithoutArchiveEndsWith217) {
    // Without a display the report goes to standard error instead of a box.
    ProcessResult r = RunProcess({RuntimeExe().string()}, {"DISPLAY=", "WAYLAND_DISPLAY="}, 30);
    EXPECT_EQ(r.ExitCode, 217);
    EXPECT_NE(r.Stderr.find("Runtime error 217 at "), std::string::npos) << r.Stderr;
}

TEST_F(MainWindowTest, EscClosesOnlyWhenTheSettingSaysSo) {
    for (const char* keys : {"Escape", "shift+Escape"}) {
        auto pub = Pack(Settings("AppTitle=Esc window\nAppEscapeClose=1\n"));
        TRuntimeProcess run(pub);
        ASSERT_TRUE(run.WaitForTrace("DocumentComplete fvp://index.html"));
        auto windows = run.WindowsNamed("Esc window");
        ASSERT_EQ(windows.size(), 1u);
        Shell("xdotool windowfocus --sync " + windows[0] + " key " + keys + " 2>/dev/null");
        EXPECT_EQ(run.Wait(10000), 0) << keys;
        EXPECT_TRUE(run.HasTrace("FormClose begin"));
    }
    auto pub = Pack(Settings("AppTitle=Esc kept\n"));
    TRuntimeProcess run(pub);
    ASSERT_TRUE(run.WaitForTrace("DocumentComplete fvp://index.html"));
    auto windows = run.WindowsNamed("Esc kept");
    ASSERT_EQ(windows.size(), 1u);
    Shell("xdotool windowfocus --sync " + windows[0] + " key" + " Escape 2>/dev/null");
    EXPECT_EQ(run.Wait(1500), -1) << "closed although AppEscapeClose is off";
}

TEST_F(MainWindowTest, TheWindowTakesItsShapeFromTheSettings) {
    struct {
        const char* Name;
        std::string Settings;
        int Width, Height;
        bool Decorated;
        const char* Type;
        bool Above;
        bool Maximized;
    } cases[] = {
        {"Default", "", 800, 600, true, "_NET_WM_WINDOW_TYPE_NORMAL", false, false},
        {"Small", "AppWindowWidth=100\nAppWindowHeight=50\n", 300, 200, true,
         "_NET_WM_WINDOW_TYPE_NORMAL", false, false},
        {"NoBorder", "AppBorderStyle=0\n", 800, 600, false, "_NET_WM_WINDOW_TYPE_NORMAL", false,
         false},
        {"Dialog", "AppBorderStyle=3\nAppWindowWidth=500\nAppWindowHeight=300\n", 500, 300, true,
         "_NET_WM_WINDOW_TYPE_DIALOG", false, false},
        {"Tool", "AppBorderStyle=4\n", 800, 600, true, "_NET_WM_WINDOW_TYPE_UTILITY", false, false},
        {"OnTop", "AppWindowOrder=1\n", 800, 600, true, "_NET_WM_WINDOW_TYPE_NORMAL", true, false},
        {"Full", "AppWindowStyle=1\nAppBorderStyle=3\nAppWindowOrder=1\n", -1, -1, false,
         "_NET_WM_WINDOW_TYPE_NORMAL", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto pub = Pack(Settings(std::string("AppTitle=") + c.Name + "\n" + c.Settings));
        TRuntimeProcess run(pub);
        ASSERT_TRUE(run.WaitForTrace("DocumentComplete fvp://index.html"));
        auto windows = run.WindowsNamed(c.Name);
        ASSERT_EQ(windows.size(), 1u);
        const std::string& w = windows[0];
        // The window manager places and sizes the window after it is
        // mapped; give it a moment to settle before measuring.
        TGeometry g;
        for (int i = 0; i < 60; ++i) {
            g = Geometry(w);
            if (c.Width <= 0 || (g.Width == c.Width && g.Height == c.Height &&
                                 std::abs(g.X - (1280 - c.Width) / 2) <= 1 &&
                                 std::abs(g.Y - (1024 - c.Height) / 2) <= 1))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (c.Width > 0) {
            EXPECT_EQ(g.Width, c.Width);
            EXPECT_EQ(g.Height, c.Height);
            // Centred on the 1280 x 1024 screen when first shown.
            EXPECT_NEAR(g.X, (1280 - c.Width) / 2, 1);
            EXPECT_NEAR(g.Y, (1024 - c.Height) / 2, 1);
        }
        // Every window shows the executable's icon.
        EXPECT_NE(Property(w, "_NET_WM_ICON").find("_NET_WM_ICON(CARDINAL)"), std::string::npos);
        std::string motif = Property(w, "_MOTIF_WM_HINTS");
        // GTK writes decorations 0 into the Motif hints of an undecorated
        // window and leaves them out otherwise.
        bool undecorated = motif.find("0x2, 0x0, 0x0") != std::string::npos;
        EXPECT_EQ(!undecorated, c.Decorated) << motif;
        EXPECT_NE(Property(w, "_NET_WM_WINDOW_TYPE").find(c.Type), std::string::npos);
        std::string state = Property(w, "_NET_WM_STATE");
        EXPECT_EQ(state.find("_NET_WM_STATE_ABOVE") != std::string::npos, c.Above) << state;
        EXPECT_EQ(state.find("_NET_WM_STATE_MAXIMIZED_HORZ") != std::string::npos, c.Maximized)
            << state;
        run.Signal(SIGTERM);
        EXPECT_EQ(run.Wait(), 0);
    }
}

TEST_F(MainWindowTest, ASignalWhileTheWindowIsBeingCreatedEndsTheRunCleanly) {
    // Starts a run, sends SIGTERM once the window named window shows, and
    // checks that the run ends with exit code 0 and the given trace.
    auto signalAt = [&](const std::string& settings, const std::string& window,
                        const std::function<void(const TRuntimeProcess&)>& check) {
        auto pub = Pack(Settings(settings));
        TRuntimeProcess run(pub);
        ASSERT_EQ(run.WindowsNamed(window, 20000).size(), 1u);
        run.Signal(SIGTERM);
        EXPECT_EQ(run.Wait(10000), 0);
        check(run);
    };
    // At the password prompt: the run ends as a cancelled prompt does,
    // before anything of the run is written.
    signalAt("AppTitle=Locked\nAppPassword=secret\n", "Locked", [](const TRuntimeProcess& run) {
        EXPECT_FALSE(run.HasTrace("FormCreate IEBrowserFix.Initialize"));
        EXPECT_TRUE(run.HasTrace("final GlobalMainForm"));
    });
    // At a message box of the creation handler: the box closes, creation
    // goes on, and the window closes through its normal shut-down.
    signalAt("AppTitle=Styled\nAppTheme=No Such Style\n", "Error", [](const TRuntimeProcess& run) {
        EXPECT_TRUE(run.HasTrace("FormCreate CreateBrowserWindow"));
        EXPECT_TRUE(run.HasTrace("FormClose IEBrowserFix.Uninitialize"));
        EXPECT_FALSE(run.HasTrace("DocumentComplete fvp://index.html"));
    });
}

// The entries of a folder, by name; empty when it is missing.
std::vector<std::string> EntriesOf(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Waits until the folder has an entry; false after timeoutMs.
bool WaitForEntries(const std::filesystem::path& folder, int timeoutMs = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (EntriesOf(folder).empty()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The files in the run folders under folder.
std::vector<std::string> ExtractedFiles(const std::filesystem::path& folder) {
    std::vector<std::string> files;
    for (const std::string& run : EntriesOf(folder))
        for (const std::string& name : EntriesOf(folder / run))
            if (name != ".lock")
                files.push_back(run + "/" + name);
    return files;
}

// Waits until count windows of the process with that title are mapped (the
// toolkit's hidden leader window carries the program's name too); false
// after 20 s.
bool WaitForShownWindows(const TRuntimeProcess& run, const std::string& title, std::size_t count) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::istringstream ids(Shell("xdotool search --all --onlyvisible --pid " +
                                     std::to_string(run.Pid()) + " --name '^" + title +
                                     "$' 2>/dev/null"));
        std::size_t found = 0;
        for (std::string id; ids >> id;)
            ++found;
        if (found == count)
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Bytes no desktop application claims, so that opening the extracted copy
// starts nothing.
const std::string OpaqueBytes("\x00\x01\x02\xff", 4);

TEST_F(MainWindowTest, ASignalOverAnyModalWindowEndsTheRunAndLeavesNoFileBehind) {
    // Each page first has a file extracted for the shell, then opens the
    // modal window; SIGTERM then has to close it, end the run through the
    // normal shut-down and delete the extracted file.
    const std::string extract = "<!DOCTYPE html><title>x</title><script>var e=window.external;"
                                "e.appOpenFile('data.fvx');";
    struct {
        const char* Name;
        std::string Settings;
        std::string Script;
        const char* Window;
        std::size_t Windows;
        bool Extracts;
    } cases[] = {
        {"host call message box", "", "e.appOpenFile('missing.fvx');", "publication", 1, true},
        {"save dialog", "", "location.href='fvp://file.zip';", "Save As", 1, true},
        {"find dialog", "", "e.webFind();", "Find", 1, true},
        {"print dialog", "", "e.webPreview();", "Print", 1, true},
        // Captioned like the main window.
        {"script error question", "", "setTimeout(function(){noSuchFunction()},0);", "Pub", 2,
         true},
        // No password prompt may follow the box.
        {"unknown style before the password", "AppTheme=No Such Style\nAppPassword=secret\n", "",
         "Error", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir tmp;
        auto pub = Pack(Settings("AppTitle=Pub\n" + c.Settings),
                        {{"index.html", extract + c.Script + "</script>"},
                         {"data.fvx", OpaqueBytes},
                         {"file.zip", OpaqueBytes}});
        TRuntimeProcess run(pub, {}, {"TMPDIR=" + tmp.Path().string()});
        if (c.Extracts) {
            ASSERT_TRUE(WaitForEntries(tmp.Path()));
        }
        ASSERT_TRUE(WaitForShownWindows(run, c.Window, c.Windows));
        if (c.Extracts) {
            EXPECT_EQ(ExtractedFiles(tmp.Path()).size(), 1u);
        }
        run.Signal(SIGTERM);
        EXPECT_EQ(run.Wait(10000), 0);
        EXPECT_TRUE(run.HasTrace("final GlobalMainForm"));
        EXPECT_EQ(EntriesOf(tmp.Path()), std::vector<std::string>());
        if (!c.Extracts) {
            EXPECT_FALSE(run.HasTrace("FormCreate IEBrowserFix.Initialize"));
        }
    }
}

TEST_F(MainWindowTest, ALaterRunRemovesWhatADeadRunLeftAndSparesLiveRuns) {
    TempDir tmp;
    const std::vector<std::string> env = {"TMPDIR=" + tmp.Path().string()};
    auto pub = Pack(Settings("AppTitle=Runs\n"),
                    {{"index.html", "<!DOCTYPE html><script>window.external.appOpenFile("
                                    "'data.fvx')</script>"},
                     {"data.fvx", OpaqueBytes}});
    auto runFolderOf = [&](pid_t pid) {
        for (const std::string& name : EntriesOf(tmp.Path()))
            if (name.rfind("folivant-run-" + std::to_string(pid) + "-", 0) == 0)
                return name;
        return std::string();
    };
    auto waitForExtraction = [&](pid_t pid) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            const std::string folder = runFolderOf(pid);
            if (!folder.empty() && EntriesOf(tmp.Path() / folder).size() == 2)
                return folder;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::string();
    };
    TRuntimeProcess live(pub, {}, env);
    const std::string liveFolder = waitForExtraction(live.Pid());
    ASSERT_FALSE(liveFolder.empty());
    struct stat info {};
    ASSERT_EQ(::stat((tmp.Path() / liveFolder).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    {
        TRuntimeProcess dead(pub, {}, env);
        ASSERT_FALSE(waitForExtraction(dead.Pid()).empty());
        dead.Signal(SIGKILL);
        EXPECT_EQ(dead.Wait(), 128 + SIGKILL);
    }
    ASSERT_EQ(EntriesOf(tmp.Path()).size(), 2u);
    // Any publication's run clears up, even one that extracts nothing.
    auto other = Pack(Settings("AppTitle=Other\n"));
    TRuntimeProcess next(other, {}, env);
    ASSERT_TRUE(next.WaitForTrace("DocumentComplete fvp://index.html"));
    EXPECT_EQ(EntriesOf(tmp.Path()), std::vector<std::string>{liveFolder});
    EXPECT_EQ(EntriesOf(tmp.Path() / liveFolder).size(), 2u);
    next.Signal(SIGTERM);
    EXPECT_EQ(next.Wait(), 0);
    live.Signal(SIGTERM);
    EXPECT_EQ(live.Wait(), 0);
    EXPECT_EQ(EntriesOf(tmp.Path()), std::vector<std::string>());
}

TEST_F(MainWindowTest, AnEmptyTitleGivesAnEmptyCaption) {
    auto pub = Pack(Settings("AppTitle=\n"));
    TRuntimeProcess run(pub);
    ASSERT_TRUE(run.WaitForTrace("DocumentComplete fvp://index.html"));
    EXPECT_EQ(run.WindowsNamed("").size(), 1u);
    EXPECT_TRUE(run.WindowsNamed(R"(\[Publication Title\])", 0).empty());
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(), 0);
}

TEST_F(MainWindowTest, PagesReadTheCommandLine) {
    // The page reports what it read by navigating to a page that is not
    // there; the navigation check sees the address.
    auto pub = Pack(
        Settings("AppTitle=Args\n"),
        {{"index.html", "<!DOCTYPE html><script>var e=window.external;var r=[e.appParamCount(),"
                        "e.appParamStr(0),e.appParamStr(1),e.appParamStr(2),e.appParamStr(3),"
                        "e.appParamStr(4),String(e.appParamStr(5)),"
                        "e.appParamStr(-1),typeof e.appIsRuntime()];"
                        "location.href='fvp://report?'+encodeURIComponent(JSON.stringify(r));"
                        "</script>"}});
    // Options the toolkit would take for itself are the pages' too.
    TRuntimeProcess run(pub, {"a b", "--display=:9", "--gtk-module=x", "--g-fatal-warnings"});
    ASSERT_TRUE(run.WaitForTrace("BeforeNavigate2 fvp://report?"));
    std::string line = run.TraceLine("BeforeNavigate2 fvp://report?");
    std::string json = Shell("python3 -c 'import sys,urllib.parse;print(urllib.parse.unquote(sys."
                             "argv[1]))' '" +
                             line.substr(line.find('?') + 1) + "'");
    std::string expected = "[\"4\",\"" + std::filesystem::canonical(pub).string() +
                           "\",\"a b\",\"--display=:9\",\"--gtk-module=x\","
                           "\"--g-fatal-warnings\",\"undefined\",\"\",\"number\"]\n";
    EXPECT_EQ(json, expected);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(), 0);
}

} // namespace
