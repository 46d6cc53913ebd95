// The message box is the system's own, MessageBoxW, owned by the active
// window of the thread. The interface's flags and answers have the system's
// values; the one Close button of MB_CLOSE is an OK button that reads
// "Close". A computer-based-training hook of the thread sees each box as it
// is activated: it names that button and registers the box, so that
// CloseModalWindows can end it with the answer of a closed box.
#include "platform/ui/MessageBox.h"

#include "platform/ui/Application.h"
#include "platform/windows/ModalWindows.h"
#include "platform/windows/StyleDrawingWindows.h"

#include <windows.h>
#undef MessageBox

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace Folivant::Platform {

namespace {

struct TModalEntry {
    HWND Window;
    std::function<void()> Close;
};

// The modal windows of the GUI thread, innermost last.
std::vector<TModalEntry> ModalWindows;

// The box being shown on this thread, while its hook waits for its window.
struct TPendingBox {
    unsigned Flags;
    HHOOK Hook;
    HWND Window = nullptr;
    std::unique_ptr<TModalWindowScope> Scope;
};
thread_local TPendingBox* PendingBox = nullptr;

LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam) {
    TPendingBox* box = PendingBox;
    if (box == nullptr)
        return CallNextHookEx(nullptr, code, wParam, lParam);
    if (code == HCBT_ACTIVATE && box->Window == nullptr) {
        const HWND window = reinterpret_cast<HWND>(wParam);
        box->Window = window;
        if ((box->Flags & 0xF) == MB_CLOSE)
            SetDlgItemTextW(window, IDOK, L"Close");
        StyleSystemDialog(window);
        const int answer = ClosedAnswer(box->Flags);
        try {
            box->Scope = std::make_unique<TModalWindowScope>(
                window, [window, answer] { EndDialog(window, answer); });
        } catch (...) {
            // Without its registration the box still works; only the
            // shut-down cannot close it.
        }
    }
    return CallNextHookEx(box->Hook, code, wParam, lParam);
}

BOOL CALLBACK CloseIfModal(HWND window, LPARAM) {
    const HWND owner = GetWindow(window, GW_OWNER);
    if (IsWindowVisible(window) && owner != nullptr && !IsWindowEnabled(owner) &&
        std::none_of(ModalWindows.begin(), ModalWindows.end(),
                     [window](const TModalEntry& entry) { return entry.Window == window; }))
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

UINT SystemFlags(unsigned flags) {
    const unsigned buttons = flags & 0xF;
    UINT result = buttons == MB_CLOSE ? MB_OK : buttons;
    result |= flags & 0xF0;
    return result | MB_SETFOREGROUND | MB_TOPMOST;
}

} // namespace

TModalWindowScope::TModalWindowScope(HWND window, std::function<void()> close) : FWindow(window) {
    ModalWindows.push_back({window, std::move(close)});
}

TModalWindowScope::~TModalWindowScope() {
    const auto at =
        std::find_if(ModalWindows.rbegin(), ModalWindows.rend(),
                     [this](const TModalEntry& entry) { return entry.Window == FWindow; });
    if (at != ModalWindows.rend())
        ModalWindows.erase(std::next(at).base());
}

bool ModalWindowRunning() {
    return !ModalWindows.empty();
}

int MessageBox(const String& text, const String& caption, unsigned flags) {
    // Once the end of the run was asked for, no box shows: it answers as if
    // closed at once.
    if (ShutDownRequested())
        return ClosedAnswer(flags);
    TPendingBox box{flags, nullptr};
    TPendingBox* const outer = PendingBox;
    PendingBox = &box;
    box.Hook = SetWindowsHookExW(WH_CBT, BoxHook, nullptr, GetCurrentThreadId());
    const int answer =
        MessageBoxW(GetActiveWindow(), reinterpret_cast<const wchar_t*>(text.c_str()),
                    reinterpret_cast<const wchar_t*>(caption.c_str()), SystemFlags(flags));
    if (box.Hook != nullptr)
        UnhookWindowsHookEx(box.Hook);
    PendingBox = outer;
    if ((flags & 0xF) == MB_CLOSE || answer == 0)
        return ClosedAnswer(flags);
    return answer;
}

void CloseModalWindows() {
    // The registered windows end as their close button would, innermost
    // first; each action only asks, so the list stays as it is meanwhile.
    std::vector<TModalEntry> windows = ModalWindows;
    for (auto entry = windows.rbegin(); entry != windows.rend(); ++entry)
        entry->Close();
    // Every other modal window of the thread (one whose owner it disabled)
    // gets a close request.
    EnumThreadWindows(GetCurrentThreadId(), CloseIfModal, 0);
}

} // namespace Folivant::Platform
