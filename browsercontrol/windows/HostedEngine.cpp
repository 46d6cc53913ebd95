#include "browsercontrol/windows/HostedEngine.h"

#include "browsercontrol/windows/ExternalDispatch.h"
#include "browsercontrol/windows/ScriptBridge.h"
#include "browsercontrol/windows/WebBrowserHost.h"

#include <commctrl.h>
#include <ole2.h>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

namespace Folivant::BrowserControl {

namespace {

RECT ClientRect(HWND parent) {
    RECT bounds{};
    GetClientRect(parent, &bounds);
    return bounds;
}

TWebBrowserOptions HostOptions(const THostedEngineOptions& options) {
    TWebBrowserOptions result;
    result.HostInfoFlags = options.HostInfoFlags;
    result.DisabledPopupMenus = options.DisabledPopupMenus;
    result.DisableCtrlShortcuts = options.DisableCtrlShortcuts;
    result.ScriptErrorAction = options.ScriptErrorAction == 1   ? TScriptErrorAction::eaCancel
                               : options.ScriptErrorAction == 2 ? TScriptErrorAction::eaAskUser
                                                                : TScriptErrorAction::eaContinue;
    result.Silent = options.Silent;
    return result;
}

class TEngine;

// The engines of the thread, and the hook through which every key message
// taken from its queue is offered to the engine it is aimed at before it
// is dispatched: the owner's key handling, the refused Ctrl shortcuts and
// the engine's own accelerators (the message loop knows no engine).
std::vector<TEngine*> Engines;
HHOOK KeyHook = nullptr;

LRESULT CALLBACK OfferKeyMessage(int code, WPARAM wParam, LPARAM lParam);

class TEngine final : public THostedEngine {
public:
    TEngine(HWND parent, const THostedEngineOptions& options, THostedEngineEvents events)
        : FEvents(std::move(events)) {
        // The engine needs an OLE apartment on its thread; the first
        // engine makes one for the rest of the run.
        static const bool oleReady = SUCCEEDED(OleInitialize(nullptr));
        (void)oleReady;
        FHost = std::make_unique<TWebBrowserHost>(parent, ClientRect(parent), HostOptions(options),
                                                  HostEvents());
        FFunctions = NewScriptBridgeFunctions(*FHost);
        FExternal = new TExternalDispatch(*FFunctions, [this] { return FHost->LocationURL(); });
        Follow(parent);
        Engines.push_back(this);
        if (KeyHook == nullptr)
            KeyHook =
                SetWindowsHookExW(WH_GETMESSAGE, OfferKeyMessage, nullptr, GetCurrentThreadId());
    }

    ~TEngine() override {
        std::erase(Engines, this);
        if (Engines.empty() && KeyHook != nullptr) {
            UnhookWindowsHookEx(KeyHook);
            KeyHook = nullptr;
        }
        Unfollow();
        FExternal->Detach();
        FExternal->Release();
        // The bridge's functions act on the host: they go first.
        FFunctions.reset();
        FHost.reset();
    }

    HWND Handle() const override { return FHost->Handle(); }

    void PlaceInto(HWND parent) override {
        Unfollow();
        SetParent(FHost->Handle(), parent);
        FHost->SetBounds(ClientRect(parent));
        Follow(parent);
    }

    void SetHostInfoFlags(std::uint32_t flags) override { FHost->SetHostInfoFlags(flags); }
    void Navigate(const String& url) override { FHost->Navigate(url); }

    String LocationURL() override { return FHost->LocationURL(); }

    void ShowFindDialog() override { FHost->ShowFindDialog(); }
    void PrintPreview() override { FHost->PrintPreview(); }
    void DetachExternal() override {
        FExternal->Detach();
        // Letting the functions go stops a sound the page started last.
        FFunctions.reset();
    }
    void SetRegisterAsDropTarget(bool value) override {
        if (value)
            FHost->Browser()->put_RegisterAsDropTarget(VARIANT_TRUE);
        else
            FHost->RefuseDrops();
    }

    bool PreTranslateMessage(MSG& message) { return FHost->PreTranslateMessage(message); }
    TWebBrowserHost& Host() { return *FHost; }

private:
    TWebBrowserEvents HostEvents() {
        TWebBrowserEvents events;
        events.BeforeNavigate2 = [this](const String& url, const String& frameUrl,
                                        const String& topUrl, bool& cancel) {
            // The publication's addresses belong to its own documents: a
            // page from elsewhere, or a frame of one, neither shows, saves
            // nor starts them, and no check of the owner acts for it. A
            // window opened for a page counts as that page until it shows
            // a document of its own. The reader may still go back from a
            // page elsewhere to a document of the publication this window
            // has shown.
            const String& top = topUrl.empty() || topUrl == u"about:blank" ? FOpener : topUrl;
            if (HasFvpScheme(url) && !FShown.contains(url) &&
                (!MayReachPublication(frameUrl) || !MayReachPublication(top))) {
                cancel = true;
                return;
            }
            if (FEvents.BeforeNavigate)
                FEvents.BeforeNavigate(url, cancel);
        };
        events.NewWindow = [this](const String& url, const String& opener, IDispatch*& application,
                                  bool& cancel) {
            if (!FEvents.NewWindow)
                return;
            // The page asking, when the engine does not name it, is the
            // control's own.
            const String asking = opener.empty() ? FHost->LocationURL() : opener;
            if (HasFvpScheme(url) && !MayReachPublication(asking)) {
                cancel = true;
                return;
            }
            if (THostedEngine* opened = FEvents.NewWindow(url, cancel)) {
                auto* engine = static_cast<TEngine*>(opened);
                // Its first address is checked against the page that asked.
                engine->FOpener = MayReachPublication(asking) ? String() : asking;
                application = engine->FHost->Application();
            }
        };
        events.WindowClosing = [this](bool isChild, bool& cancel) {
            if (FEvents.WindowClosing)
                FEvents.WindowClosing(isChild, cancel);
        };
        events.DocumentComplete = [this](const String& url, bool topLevel) {
            // Frames count as shown too: the reader may step back into them.
            if (HasFvpScheme(url))
                FShown.insert(url);
            if (topLevel && FEvents.DocumentComplete)
                FEvents.DocumentComplete();
        };
        events.KeyDown = [this](WORD& key) {
            if (!FEvents.KeyDown)
                return;
            std::uint16_t value = key;
            FEvents.KeyDown(value);
            key = value;
        };
        events.GetExternal = [this]() -> IDispatch* {
            FExternal->AddRef();
            return FExternal;
        };
        return events;
    }

    // The parent's size changes reach the engine's window.
    static LRESULT CALLBACK ParentProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR, DWORD_PTR data) {
        if (message == WM_SIZE) {
            auto* engine = reinterpret_cast<TEngine*>(data);
            engine->FHost->SetBounds(RECT{0, 0, LOWORD(lParam), HIWORD(lParam)});
        }
        return DefSubclassProc(window, message, wParam, lParam);
    }

    void Follow(HWND parent) {
        if (SetWindowSubclass(parent, ParentProc, 1, reinterpret_cast<DWORD_PTR>(this)))
            FParent = parent;
    }

    void Unfollow() {
        if (FParent != nullptr && IsWindow(FParent))
            RemoveWindowSubclass(FParent, ParentProc, 1);
        FParent = nullptr;
    }

    THostedEngineEvents FEvents;
    std::unique_ptr<TWebBrowserHost> FHost;
    std::unique_ptr<TExternalFunctions> FFunctions;
    TExternalDispatch* FExternal = nullptr;
    HWND FParent = nullptr;
    // The page that asked for this window when it is not the
    // publication's own; empty otherwise.
    String FOpener;
    // The publication's documents this window has shown.
    std::set<String> FShown;
};

LRESULT CALLBACK OfferKeyMessage(int code, WPARAM wParam, LPARAM lParam) {
    auto* message = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && message->message >= WM_KEYFIRST &&
        message->message <= WM_KEYLAST) {
        // The handlers may free engines: the list is copied first.
        const std::vector<TEngine*> engines = Engines;
        for (TEngine* engine : engines)
            if (std::find(Engines.begin(), Engines.end(), engine) != Engines.end() &&
                engine->PreTranslateMessage(*message)) {
                // Handled: the loop gets a message that does nothing.
                message->message = WM_NULL;
                break;
            }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEngine* EngineBelow(HWND window) {
    for (TEngine* engine : Engines)
        if (engine->Handle() == window || IsChild(window, engine->Handle()))
            return engine;
    return nullptr;
}

} // namespace

IDispatch* EngineEventSinkBelow(HWND window) {
    TEngine* engine = EngineBelow(window);
    return engine != nullptr ? engine->Host().EventSink() : nullptr;
}

IDispatch* EngineApplicationBelow(HWND window) {
    TEngine* engine = EngineBelow(window);
    return engine != nullptr ? engine->Host().Application() : nullptr;
}

std::unique_ptr<THostedEngine> NewHostedEngine(HWND parent, const THostedEngineOptions& options,
                                               THostedEngineEvents events) {
    return std::make_unique<TEngine>(parent, options, std::move(events));
}

} // namespace Folivant::BrowserControl
