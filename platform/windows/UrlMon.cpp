// The URL-moniker session on Windows is the system's own: CoInternetGetSession
// gives the session that RegisterNameSpace hands the protocol component's
// class factory to, and the moniker layer then drives the component's
// protocol handlers itself. A protocol component's hidden window is a real
// message-only window of the thread that creates it; a request started on
// another thread reaches it by SendMessageW, which runs the call on the
// window's thread while the caller waits.
#include "platform/ui/UrlMon.h"
#include "platform/windows/MessageWindowWindows.h"

#include "shared/Dispatcher.h"

#include <windows.h>

#include <urlmon.h>

#include <exception>
#include <memory>

namespace Folivant::Platform {

namespace {

const wchar_t* const DispatcherClass = L"FolivantProtocolWindow";
// The message that carries a call: lParam points at the call's record.
constexpr UINT WM_DISPATCH_CALL = WM_APP + 1;

struct TCallRecord {
    const std::function<void()>* Call;
    std::exception_ptr Failure;
};

LRESULT CALLBACK DispatcherProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DISPATCH_CALL) {
        auto* record = reinterpret_cast<TCallRecord*>(lParam);
        // Nothing unwinds through the system's message dispatch: a failure
        // goes back to the caller.
        try {
            (*record->Call)();
        } catch (...) {
            record->Failure = std::current_exception();
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class TWindowDispatcher : public Shared::TDispatcher {
public:
    TWindowDispatcher() : FThread(GetCurrentThreadId()) {
        FWindow = CreateMessageWindow(DispatcherClass, DispatcherProc);
    }
    ~TWindowDispatcher() override {
        if (FWindow != nullptr)
            DestroyWindow(FWindow);
    }
    TWindowDispatcher(const TWindowDispatcher&) = delete;
    TWindowDispatcher& operator=(const TWindowDispatcher&) = delete;

    void Send(const std::function<void()>& call) override {
        // On the window's own thread (or without a window) the call runs at
        // once, as SendMessageW runs a window procedure of its own thread.
        if (FWindow == nullptr || GetCurrentThreadId() == FThread) {
            call();
            return;
        }
        TCallRecord record{&call, nullptr};
        SendMessageW(FWindow, WM_DISPATCH_CALL, 0, reinterpret_cast<LPARAM>(&record));
        if (record.Failure)
            std::rethrow_exception(record.Failure);
    }

private:
    DWORD FThread;
    HWND FWindow = nullptr;
};

} // namespace

Shared::IInternetSession* NewInternetSession() {
    IInternetSession* session = nullptr;
    if (FAILED(::CoInternetGetSession(0, &session, 0)))
        return nullptr;
    return session;
}

void InstallUrlMon() {
    Shared::SetInternetSessionProvider([](Shared::IInternetSession** session) -> HRESULT {
        return ::CoInternetGetSession(0, session, 0);
    });
}

void InitializeContentProtocol() {
    InstallUrlMon();
    Shared::SetDispatcherFactory([]() -> std::unique_ptr<Shared::TDispatcher> {
        return std::make_unique<TWindowDispatcher>();
    });
}

} // namespace Folivant::Platform
