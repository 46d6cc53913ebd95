// The runtime as a Windows program, started the way a reader starts a
// publication packed on Linux: what the start shows and the exit code it
// ends with.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::filesystem::path BuildDir() {
    return FOLIVANT_BUILD_DIR;
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

} // namespace
