// The runtime as a Windows program, started the way a reader starts a
// publication packed on Linux: what the start shows and the exit code it
// ends with.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::filesystem::path BuildDir() {
    return FOLIVANT_BUILD_DIR;
}

std::string BytesOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Waits up to 30 s for done() to hold.
template <typename TCondition> bool WaitFor(TCondition done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        Sleep(20);
    }
    return true;
}

class TProcess {
public:
    explicit TProcess(const std::filesystem::path& program) {
        std::wstring commandLine = L"\"" + program.wstring() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        FStarted = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &FInfo) != FALSE;
    }
    ~TProcess() {
        if (!FStarted)
            return;
        if (WaitForSingleObject(FInfo.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(FInfo.hProcess, 1);
        CloseHandle(FInfo.hThread);
        CloseHandle(FInfo.hProcess);
    }
    bool Started() const { return FStarted; }
    DWORD Id() const { return FInfo.dwProcessId; }
    // The exit code once the process has ended within the deadline, or
    // STILL_ACTIVE.
    DWORD WaitForExit(DWORD milliseconds) const {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(FInfo.hProcess, milliseconds) == WAIT_OBJECT_0)
            GetExitCodeProcess(FInfo.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION FInfo{};
    bool FStarted = false;
};

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

struct TFound {
    DWORD Process;
    HWND Window;
};

BOOL CALLBACK VisibleWindowOf(HWND window, LPARAM data) {
    auto* found = reinterpret_cast<TFound*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != found->Process || !IsWindowVisible(window))
        return TRUE;
    found->Window = window;
    return FALSE;
}

BOOL CALLBACK FindEdit(HWND child, LPARAM data) {
    wchar_t name[32] = {};
    GetClassNameW(child, name, 32);
    if (std::wstring(name) != L"Edit")
        return TRUE;
    *reinterpret_cast<HWND*>(data) = child;
    return FALSE;
}

BOOL CALLBACK AppendText(HWND child, LPARAM data) {
    *reinterpret_cast<std::wstring*>(data) += L"|" + TextOf(child);
    return TRUE;
}

// A visible top-level window of the process, polled for up to 30 s.
HWND WaitForWindow(const TProcess& process) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        TFound found{process.Id(), nullptr};
        EnumWindows(VisibleWindowOf, reinterpret_cast<LPARAM>(&found));
        if (found.Window != nullptr)
            return found.Window;
        if (process.WaitForExit(100) != STILL_ACTIVE)
            return nullptr;
    }
    return nullptr;
}

// The texts of a message box: its caption and those of its controls.
std::wstring BoxTexts(HWND box) {
    std::wstring texts = TextOf(box);
    EnumChildWindows(box, AppendText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

// A start that cannot open the publication shows its message box, and
// ends with its exit code once the box is answered.
TEST(RuntimeStartWindows, UnusablePublicationsReportAndEndWithTheirExitCode) {
    const struct {
        const char* Program;
        const wchar_t* Message;
        DWORD ExitCode;
    } cases[] = {
        // No FOLDATA at all: the runtime as built.
        {"folivant-runtime.exe", L"Runtime error 217 at ", 217},
        // FOLDATA that is no archive.
        {"publication-damaged.exe", L"Runtime error 217 at ", 217},
        // An empty FOLDATA.
        {"publication-empty.exe", L"This is not a valid Windows application", 0},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Program);
        TProcess process(BuildDir() / test.Program);
        ASSERT_TRUE(process.Started());
        const HWND box = WaitForWindow(process);
        ASSERT_NE(box, nullptr);
        const std::wstring texts = BoxTexts(box);
        EXPECT_NE(texts.find(std::wstring(L"Error|")), std::wstring::npos)
            << std::string(texts.begin(), texts.end());
        EXPECT_NE(texts.find(test.Message), std::wstring::npos)
            << std::string(texts.begin(), texts.end());
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(process.WaitForExit(30000), test.ExitCode);
    }
}

// A publication opens its main window with the settings' title and size
// in the style it names (its name in any case), and closing the window
// (Esc pressed in the page, as the settings allow, or the close button)
// ends the run with exit code 0. A style the runtime does not have is
// reported, and the window opens in the system's look.
TEST(RuntimeStartWindows, PublicationWindowHasTheSettingsTitleAndSize) {
    const struct {
        const char* Program;
        const wchar_t* StyleMessage;
        const wchar_t* Title;
        int Width, Height;
        // Esc closes the window (the settings say so), or the close button.
        bool EscapeCloses;
    } cases[] = {
        {"publication.exe", nullptr, L"Caf\u00e9 \u00abWindows\u00bb", 700, 500, true},
        {"publication-unknown-style.exe", L"Style 'Nowhere' not found", L"Unknown style", 800, 600,
         false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Program);
        TProcess process(BuildDir() / test.Program);
        ASSERT_TRUE(process.Started());
        HWND window = WaitForWindow(process);
        ASSERT_NE(window, nullptr);
        if (test.StyleMessage != nullptr) {
            const std::wstring texts = BoxTexts(window);
            EXPECT_NE(texts.find(test.StyleMessage), std::wstring::npos)
                << std::string(texts.begin(), texts.end());
            PostMessageW(window, WM_COMMAND, IDOK, 0);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (IsWindow(window) && std::chrono::steady_clock::now() < deadline)
                Sleep(50);
            window = WaitForWindow(process);
            ASSERT_NE(window, nullptr);
        }
        EXPECT_EQ(TextOf(window), test.Title);
        EXPECT_EQ(FindWindowW(nullptr, test.Title), window);
        RECT bounds{};
        GetWindowRect(window, &bounds);
        EXPECT_EQ(bounds.right - bounds.left, test.Width);
        EXPECT_EQ(bounds.bottom - bounds.top, test.Height);
        if (test.EscapeCloses) {
            const HWND browser = FindWindowExW(GetWindow(window, GW_CHILD), nullptr,
                                               L"FolivantWebBrowserHost", nullptr);
            ASSERT_NE(browser, nullptr);
            PostMessageW(browser, WM_KEYDOWN, VK_ESCAPE, 1);
        } else {
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
        EXPECT_EQ(process.WaitForExit(30000), 0u);
    }
}

// A publication with a password asks for it first, in a prompt titled as
// the publication: text that is not exactly the password leaves the prompt
// up, the password opens the main window, and closing the prompt ends the
// run with exit code 0 without a window.
TEST(RuntimeStartWindows, PasswordPromptOpensOnlyForThePassword) {
    for (const bool typed : {true, false}) {
        SCOPED_TRACE(typed ? "typed" : "closed");
        TProcess process(BuildDir() / "publication-password.exe");
        ASSERT_TRUE(process.Started());
        const HWND prompt = WaitForWindow(process);
        ASSERT_NE(prompt, nullptr);
        EXPECT_EQ(TextOf(prompt), L"Locked");
        if (!typed) {
            PostMessageW(prompt, WM_CLOSE, 0, 0);
            EXPECT_EQ(process.WaitForExit(30000), 0u);
            continue;
        }
        HWND edit = nullptr;
        EnumChildWindows(prompt, FindEdit, reinterpret_cast<LPARAM>(&edit));
        ASSERT_NE(edit, nullptr);
        SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"s\u00e9same"));
        EXPECT_TRUE(IsWindowVisible(prompt));
        SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"S\u00e9same"));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        HWND window = nullptr;
        while (window == nullptr && std::chrono::steady_clock::now() < deadline) {
            // The main window exists hidden while the prompt is up; it
            // counts once it shows.
            window = FindWindowW(nullptr, L"Locked");
            if (window == prompt || !IsWindowVisible(window))
                window = nullptr;
            Sleep(50);
        }
        ASSERT_NE(window, nullptr);
        EXPECT_FALSE(IsWindow(prompt));
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(process.WaitForExit(30000), 0u);
    }
}

// The browser-emulation value named after the executable, or -1 when there
// is none.
long long EmulationValue(const wchar_t* program) {
    DWORD data = 0;
    DWORD size = sizeof data;
    if (RegGetValueW(HKEY_CURRENT_USER,
                     L"Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\"
                     L"FEATURE_BROWSER_EMULATION",
                     program, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS)
        return -1;
    return data;
}

std::filesystem::path ProgramOf(const wchar_t* name) {
    return BuildDir() / (std::wstring(L"publication-") + name + L".exe");
}

// The main window of a publication once it shows.
HWND WaitForMainWindow(const TProcess& process, const std::wstring& title) {
    HWND window = nullptr;
    WaitFor([&] {
        window = FindWindowW(L"FolivantForm", title.c_str());
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        return (window != nullptr && owner == process.Id() && IsWindowVisible(window)) ||
               process.WaitForExit(0) != STILL_ACTIVE;
    });
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

// Closes the main window as its close button does and waits for the end of
// the run; the browser-emulation value goes with the window.
void CloseAndExpectCleanEnd(const TProcess& process, HWND window, const wchar_t* program) {
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(process.WaitForExit(30000), 0u);
    EXPECT_EQ(EmulationValue(program), -1);
}

// Every border style of the settings gives the main window its frame and
// caption, at the settings' outer size with the client area that frame
// leaves; the browser-emulation value of the executable exists, with the
// engine's standards mode, while the window does. Stay-on-top puts the
// window above normal ones; the borderless maximised window covers its
// monitor and ignores the border and order settings.
TEST(RuntimeStartWindows, MainWindowHasTheSettingsBorderOrderAndState) {
    constexpr LONG Frames = WS_CAPTION | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    const struct {
        const wchar_t* Name;
        LONG Style;   // of the bits in Frames
        LONG ExStyle; // of WS_EX_TOOLWINDOW, WS_EX_DLGMODALFRAME and WS_EX_TOPMOST
        bool Maximised;
        int Width = 640, Height = 480;
    } cases[] = {
        {L"border-0", 0, 0, false},
        {L"border-1", WS_CAPTION | WS_MINIMIZEBOX | WS_MAXIMIZEBOX, 0, false},
        {L"border-2", WS_CAPTION | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX, WS_EX_TOPMOST,
         false},
        {L"border-3", WS_CAPTION, WS_EX_DLGMODALFRAME, false},
        // Asked for 100 x 150: the minimum size holds.
        {L"border-4", WS_CAPTION, WS_EX_TOOLWINDOW, false, 300, 200},
        {L"border-5", WS_CAPTION | WS_THICKFRAME, WS_EX_TOOLWINDOW, false},
        {L"maximised", 0, 0, true},
    };
    for (const auto& test : cases) {
        const std::wstring program = ProgramOf(test.Name).filename().wstring();
        SCOPED_TRACE(std::string(program.begin(), program.end()));
        TProcess process(ProgramOf(test.Name));
        ASSERT_TRUE(process.Started());
        const HWND window = WaitForMainWindow(process, std::wstring(L"Window ") + test.Name);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(EmulationValue(program.c_str()), 10001);
        const LONG style = GetWindowLongW(window, GWL_STYLE);
        const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
        EXPECT_EQ(style & Frames, test.Style) << std::hex << style;
        EXPECT_EQ(exStyle & (WS_EX_TOOLWINDOW | WS_EX_DLGMODALFRAME | WS_EX_TOPMOST), test.ExStyle)
            << std::hex << exStyle;
        RECT bounds{}, client{};
        GetWindowRect(window, &bounds);
        GetClientRect(window, &client);
        if (test.Maximised) {
            MONITORINFO monitor{};
            monitor.cbSize = sizeof monitor;
            GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
            EXPECT_TRUE(IsZoomed(window));
            EXPECT_TRUE(EqualRect(&bounds, &monitor.rcMonitor))
                << bounds.left << "," << bounds.top << "," << bounds.right << "," << bounds.bottom;
        } else {
            EXPECT_EQ(bounds.right - bounds.left, test.Width);
            EXPECT_EQ(bounds.bottom - bounds.top, test.Height);
            // The client area is what the frame of this style leaves.
            RECT frame = client;
            AdjustWindowRectEx(&frame, static_cast<DWORD>(style), FALSE,
                               static_cast<DWORD>(exStyle));
            EXPECT_EQ(frame.right - frame.left, test.Width);
            EXPECT_EQ(frame.bottom - frame.top, test.Height);
        }
        CloseAndExpectCleanEnd(process, window, program.c_str());
    }
}

// The shell's window of the one icon in the notification area: Wine's own
// tray, whose icon windows report mouse events to the icon's owner as the
// shell does.
HWND TrayIconWindow() {
    const HWND tray = FindWindowW(L"__winex11_standalone_tray", nullptr);
    const HWND icon = FindWindowExW(tray, nullptr, L"__winex11_tray_icon", nullptr);
    return FindWindowExW(tray, icon, L"__winex11_tray_icon", nullptr) == nullptr ? icon : nullptr;
}

// With the tray icon on, each left click on the icon (a double click
// counting once) hides the main window or shows it again; right clicks do
// nothing. The icon goes with the run.
TEST(RuntimeStartWindows, TrayIconClickHidesAndShowsTheMainWindow) {
    const struct {
        const char* Clicks;
        std::vector<UINT> Messages;
        bool Visible;
    } steps[] = {
        {"left", {WM_LBUTTONDOWN, WM_LBUTTONUP}, false},
        {"right", {WM_RBUTTONDOWN, WM_RBUTTONUP}, false},
        {"left", {WM_LBUTTONDOWN, WM_LBUTTONUP}, true},
        {"double", {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}, false},
        {"left", {WM_LBUTTONDOWN, WM_LBUTTONUP}, true},
    };
    TProcess process(ProgramOf(L"border-5"));
    ASSERT_TRUE(process.Started());
    const HWND window = WaitForMainWindow(process, L"Window border-5");
    ASSERT_NE(window, nullptr);
    HWND icon = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (icon = TrayIconWindow()) != nullptr; }));
    const HWND owner = FindWindowW(L"FolivantTrayIcon", nullptr);
    ASSERT_NE(owner, nullptr);
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Clicks);
        // Sent, so the shell has passed each on to the icon's owner when the
        // call returns; the owner has handled them once it has answered a
        // message sent after them.
        DWORD_PTR answer = 0;
        for (const UINT message : step.Messages)
            SendMessageTimeoutW(icon, message, 0, MAKELPARAM(4, 4), SMTO_BLOCK, 5000, &answer);
        SendMessageTimeoutW(owner, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &answer);
        EXPECT_EQ(IsWindowVisible(window) != FALSE, step.Visible);
    }
    CloseAndExpectCleanEnd(process, window, L"publication-border-5.exe");
    EXPECT_TRUE(WaitFor([] {
        return FindWindowExW(FindWindowW(L"__winex11_standalone_tray", nullptr), nullptr,
                             L"__winex11_tray_icon", nullptr) == nullptr;
    }));
}

BOOL CALLBACK FindFileNameEdit(HWND child, LPARAM data) {
    wchar_t name[32] = {};
    GetClassNameW(child, name, 32);
    // The file name box of the common dialog (cmb13 / edt1).
    if (std::wstring(name) != L"Edit" || GetDlgCtrlID(child) != 1148)
        return TRUE;
    *reinterpret_cast<HWND*>(data) = child;
    return FALSE;
}

// The paths the open probe reported, once there are count of them.
std::vector<std::filesystem::path> WaitForReportedPaths(const std::filesystem::path& report,
                                                        std::size_t count) {
    std::vector<std::filesystem::path> paths;
    WaitFor([&] {
        const std::string bytes = BytesOf(report);
        const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                                bytes.size() / sizeof(wchar_t));
        paths.clear();
        for (std::size_t at = 0, end; (end = text.find(L'\n', at)) != std::wstring::npos;
             at = end + 1)
            paths.emplace_back(text.substr(at, end - at));
        return paths.size() >= count;
    });
    return paths;
}

// A navigation of the page to an entry of a kind that is both saved and
// run (here the first page itself) is cancelled. The save dialog opens,
// filtered on the kind: the entry's bytes are written to the name typed
// (the kind's extension added) and the shell opens that file; cancelling
// writes nothing. Then the entry is extracted into the temporary folder
// under a new name and run from there, and that copy is gone once the run
// has ended. A close of the main window asked while the dialog runs waits
// until the navigation's handling, which still uses the window, has ended.
// The program carried is the open probe, which reports where it was
// started from.
TEST(RuntimeStartWindows, SavedAndRunKindsSaveWhereTheUserSaysAndRunATemporaryCopy) {
    wchar_t temporary[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temporary);
    const std::string own = std::to_string(GetCurrentProcessId());
    const std::filesystem::path typed =
        std::filesystem::path(temporary) / ("folivant-saved-" + own);
    std::filesystem::path saved = typed;
    saved += ".exe";
    const std::filesystem::path report =
        std::filesystem::path(temporary) / ("folivant-opened-" + own);
    const std::string entry = BytesOf(BuildDir() / "action-site" / "tool" / "open-probe.exe");
    ASSERT_FALSE(entry.empty());
    const struct {
        const char* Name;
        bool Save;
        bool CloseFirst;
    } cases[] = {{"saved", true, false}, {"cancelled", false, false}, {"closed", false, true}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.Name);
        const bool save = test.Save;
        std::filesystem::remove(report);
        SetEnvironmentVariableW(L"FOLIVANT_OPEN_PROBE", report.c_str());
        TProcess process(ProgramOf(L"actions"));
        SetEnvironmentVariableW(L"FOLIVANT_OPEN_PROBE", nullptr);
        ASSERT_TRUE(process.Started());
        HWND dialog = nullptr;
        ASSERT_TRUE(WaitFor([&] {
            dialog = FindWindowW(L"#32770", nullptr);
            DWORD owner = 0;
            GetWindowThreadProcessId(dialog, &owner);
            return owner == process.Id() && IsWindowVisible(dialog);
        }));
        HWND edit = nullptr;
        EnumChildWindows(dialog, FindFileNameEdit, reinterpret_cast<LPARAM>(&edit));
        ASSERT_NE(edit, nullptr);
        // The file type box (cmb1); a control of another process answers
        // its text only to the message.
        wchar_t kind[64] = {};
        SendMessageW(GetDlgItem(dialog, 1136), WM_GETTEXT, 64, reinterpret_cast<LPARAM>(kind));
        EXPECT_EQ(std::wstring(kind), L"EXE");
        if (test.CloseFirst) {
            // The window and its browser stay while the dialog runs.
            const HWND hidden = FindWindowW(L"FolivantForm", L"Window actions");
            ASSERT_NE(hidden, nullptr);
            SendMessageW(hidden, WM_CLOSE, 0, 0);
            EXPECT_TRUE(IsWindowVisible(dialog));
            EXPECT_EQ(EmulationValue(L"publication-actions.exe"), 10001);
        }
        if (save) {
            SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed.c_str()));
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
        } else {
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
        }
        // The window shows once the navigation's handling has ended, or
        // the run ends then.
        const HWND window =
            test.CloseFirst ? nullptr : WaitForMainWindow(process, L"Window actions");
        ASSERT_TRUE(window != nullptr || test.CloseFirst);
        const std::vector<std::filesystem::path> opened =
            WaitForReportedPaths(report, save ? 2 : 1);
        ASSERT_EQ(opened.size(), save ? 2u : 1u);
        EXPECT_FALSE(std::filesystem::exists(typed));
        std::filesystem::path copy;
        for (const std::filesystem::path& path : opened) {
            if (save && std::filesystem::equivalent(path, saved))
                continue;
            EXPECT_TRUE(copy.empty()) << path.string();
            copy = path;
        }
        if (save)
            EXPECT_EQ(BytesOf(saved), entry);
        else
            EXPECT_FALSE(std::filesystem::exists(saved));
        SCOPED_TRACE(copy.string());
        EXPECT_EQ(copy.extension(), ".exe");
        EXPECT_EQ(copy.stem().wstring().size(), 10u);
        if (test.CloseFirst) {
            EXPECT_EQ(process.WaitForExit(30000), 0u);
            EXPECT_EQ(EmulationValue(L"publication-actions.exe"), -1);
        } else {
            EXPECT_EQ(BytesOf(copy), entry);
            CloseAndExpectCleanEnd(process, window, L"publication-actions.exe");
        }
        // The copy goes, and so does the run's own folder it was put in.
        EXPECT_FALSE(std::filesystem::exists(copy));
        EXPECT_FALSE(std::filesystem::exists(copy.parent_path()));
        // The saved program may still be ending.
        EXPECT_TRUE(WaitFor([&] {
            std::error_code ignored;
            std::filesystem::remove(saved, ignored);
            return !std::filesystem::exists(saved);
        }));
    }
    std::filesystem::remove(report);
}

} // namespace
