#include "platform/ui/Application.h"

// The GUI thread's loop is a GetMessageW loop. Posted calls wait in a queue
// of their own and a message to the application's hidden message-only
// window wakes the thread for each, so a call is never lost to a full
// message queue and any thread may post one. Ending a loop only marks it:
// PostQuitMessage would also end every modal loop running inside it.
// Actions that wait for the outermost loop run there between two messages,
// when no handler is on the stack; a timer keeps the loop waking while they
// wait, as a modal loop may take every message meanwhile.

#include "base/Text.h"
#include "platform/ui/MessageBox.h"
#include "platform/windows/MessageWindowWindows.h"

#include <windows.h>
#undef MessageBox

#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

namespace Folivant::Platform {

namespace {

const wchar_t* const CallWindowClass = L"FolivantApplicationWindow";
// Wakes the GUI thread for one posted call.
constexpr UINT WM_POSTED_CALL = WM_APP + 10;
// Runs the termination handler on the GUI thread.
constexpr UINT WM_TERMINATION = WM_APP + 11;
constexpr UINT_PTR OutermostTimer = 1;
// How often waiting actions look whether the modal loops have ended.
constexpr UINT OutermostLoopPollMs = 20;

std::mutex CallsLock;
std::deque<std::function<void()>> PostedCalls;
HWND CallWindow = nullptr;

std::vector<std::function<void()>> OutermostActions;

// The loops RunMessageLoop runs, innermost last: each one's end mark.
std::vector<bool*> Loops;

bool TerminationAsked = false;
std::function<void()> OnTermination;
bool WatchingSignals = false;

void RunOnePostedCall() {
    std::function<void()> call;
    {
        const std::lock_guard<std::mutex> lock(CallsLock);
        if (PostedCalls.empty())
            return;
        call = std::move(PostedCalls.front());
        PostedCalls.pop_front();
    }
    GuardCallback(call);
}

LRESULT CALLBACK CallWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_POSTED_CALL:
        RunOnePostedCall();
        return 0;
    case WM_TERMINATION:
        TerminationAsked = true;
        GuardCallback([] {
            if (OnTermination)
                OnTermination();
        });
        return 0;
    case WM_TIMER:
        // The outermost loop runs the waiting actions once it gets a
        // message; the timer's only job is to send it one.
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HWND EnsureCallWindow() {
    if (CallWindow != nullptr)
        return CallWindow;
    CallWindow = CreateMessageWindow(CallWindowClass, CallWindowProc);
    return CallWindow;
}

void RunOutermostActions() {
    if (Loops.size() != 1 || OutermostActions.empty())
        return;
    KillTimer(CallWindow, OutermostTimer);
    // An action may add another, which then waits for the next message.
    std::vector<std::function<void()>> actions;
    actions.swap(OutermostActions);
    for (std::function<void()>& action : actions)
        GuardCallback(action);
    if (!OutermostActions.empty())
        SetTimer(CallWindow, OutermostTimer, OutermostLoopPollMs, nullptr);
}

// Ctrl+C, Ctrl+Break and the console's close arrive on a thread of their
// own; the GUI thread hears of them through its window.
BOOL WINAPI ConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    PostMessageW(CallWindow, WM_TERMINATION, 0, 0);
    return TRUE;
}

} // namespace

String ApplicationTitleOf(const String& fileName) {
    String name = fileName;
    const auto slash = name.find_last_of(u"\\/");
    if (slash != String::npos)
        name = name.substr(slash + 1);
    const auto dot = name.find(u'.');
    if (dot != String::npos)
        name = name.substr(0, dot);
    // Lower case unit by unit, surrogates as they are.
    for (std::size_t i = 1; i < name.size(); ++i)
        if (name[i] < 0xD800 || name[i] > 0xDFFF) {
            wchar_t unit = static_cast<wchar_t>(name[i]);
            CharLowerBuffW(&unit, 1);
            name[i] = static_cast<char16_t>(unit);
        }
    return name;
}

String ApplicationTitle() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return String();
        if (length < path.size())
            return ApplicationTitleOf(
                String(reinterpret_cast<const char16_t*>(path.data()), length));
        path.resize(path.size() * 2);
    }
}

bool InitializeApplication(const char*) {
    return EnsureCallWindow() != nullptr;
}

void WatchTerminationSignals(std::function<void()> onSignal) {
    StopWatchingTerminationSignals();
    OnTermination = std::move(onSignal);
    EnsureCallWindow();
    WatchingSignals = SetConsoleCtrlHandler(ConsoleControl, TRUE) != FALSE;
}

void StopWatchingTerminationSignals() {
    if (WatchingSignals)
        SetConsoleCtrlHandler(ConsoleControl, FALSE);
    WatchingSignals = false;
    OnTermination = nullptr;
}

bool ShutDownRequested() {
    return TerminationAsked;
}

void WhenInOutermostLoop(std::function<void()> action) {
    OutermostActions.push_back(std::move(action));
    SetTimer(EnsureCallWindow(), OutermostTimer, OutermostLoopPollMs, nullptr);
}

void PostCall(std::function<void()> action) {
    const HWND window = EnsureCallWindow();
    {
        const std::lock_guard<std::mutex> lock(CallsLock);
        PostedCalls.push_back(std::move(action));
    }
    // Should the queue be full, the call runs with the next one that wakes.
    PostMessageW(window, WM_POSTED_CALL, 0, 0);
}

void RunMessageLoop() {
    EnsureCallWindow();
    bool ended = false;
    Loops.push_back(&ended);
    MSG message;
    while (!ended) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            // Someone else's WM_QUIT ends this loop and stays for the loops
            // outside it.
            if (got == 0)
                PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
        RunOutermostActions();
    }
    Loops.pop_back();
}

void TerminateMessageLoop() {
    if (Loops.empty())
        return;
    *Loops.back() = true;
    // GetMessageW returns for any message; this one does nothing else.
    PostMessageW(CallWindow, WM_NULL, 0, 0);
}

bool MessageLoopRunning() {
    return !Loops.empty() && !*Loops.back();
}

void PostCallWhileAlive(std::weak_ptr<bool> alive, std::function<void()> action) {
    PostCall([alive = std::move(alive), action = std::move(action)] {
        const std::shared_ptr<bool> owner = alive.lock();
        if (owner && *owner)
            action();
    });
}

} // namespace Folivant::Platform
