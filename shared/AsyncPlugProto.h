#pragma once

// The pluggable protocol component: answers every URL of one scheme from the
// application's own data. A TInternetProtocol owns a scheme name and raises
// OnRequestStream for each request of it; the protocol registry maps schemes
// to components and holds the internet session and the class factory handed
// to the URL-moniker layer; TInternetProtocolHandlerFactory creates one
// TInternetProtocolHandler per request, which the moniker layer drives.
//
// Requests may start on any thread. Each component has a hidden window, a
// dispatcher bound to the thread that created it: the request event always
// runs there while Start waits (directly inside Start when Start runs on
// that thread).

#include "base/Classes.h"
#include "shared/Component.h"
#include "shared/Dispatcher.h"
#include "shared/UrlMonApi.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace Folivant::Shared {

class EInternetException : public Exception {
public:
    using Exception::Exception;
};

class TInternetProtocol;

// The request event: Request is the URL without its scheme and first ":",
// still percent-encoded. Stream is empty on entry; a stream placed there
// belongs to the protocol handler from that moment on.
using TProtocolRequest = std::function<void(TInternetProtocol* Sender, const String& Request,
                                            std::unique_ptr<TStream>& Stream)>;

// The window message that carries a request to the component's thread (the
// system's own constant on Windows).
#ifndef _WIN32
inline constexpr unsigned WM_USER = 1024;
#endif

class TInternetProtocol : public TComponent {
public:
    explicit TInternetProtocol(TComponent* AOwner);
    // Unregisters an active scheme.
    ~TInternetProtocol() override;

    void Loaded() override;

    bool Active() const { return FActive; }
    // True registers the scheme (postponed to Loaded while loading), false
    // unregisters it. A registration failure leaves Active as it was.
    void SetActive(bool value);

    const String& Protocol() const { return FProtocol; }
    // Raises EInternetException for a name that is not an identifier; an
    // active component moves its registration to the new name.
    void SetProtocol(const String& value);

    TProtocolRequest OnRequestStream;
    // Stored for the event's users; the handler releases streams itself.
    TProtocolRequest OnReleaseStream;

    // A valid scheme name: non-empty, a letter (any script) or "_" first,
    // then letters, decimal digits or "_".
    static bool IsValidIdent(const String& name);

    // The hidden window's procedure. For WM_USER, wParam points at the
    // zero-terminated request text and lParam at the request's stream slot.
    std::intptr_t WndProc(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    TDispatcher& Handle() const { return *FHandle; }

private:
    void RegisterProtocol();
    void UnregisterProtocol();

    std::unique_ptr<TDispatcher> FHandle;
    bool FActive = false;
    String FProtocol = u"private";
};

// The registry's entry points. All of them take the registry lock, which is
// re-entrant: deactivating the previous owner of a scheme re-enters it, and
// so does a request started by a modal loop inside a request event.
void AddProtocolScheme(const String& scheme, TInternetProtocol* component);
void RemoveProtocolScheme(const String& scheme);

// Creates the registry (empty scheme list) and deactivates every component
// still registered before releasing it. Start declines every request while
// no registry exists.
void InitializeProtocolRegistry();
void FinalizeProtocolRegistry();

// What the registry holds, for diagnostics and tests: the schemes in
// registration order and whether a session and a factory are held.
struct TProtocolRegistryState {
    std::vector<String> Schemes;
    IInternetSession* Session = nullptr;
    IClassFactory* Factory = nullptr;
};
TProtocolRegistryState ProtocolRegistryState();

// The class factory registered for every scheme.
class TInternetProtocolHandlerFactory : public TComObject<IClassFactory, IID_IClassFactory> {
public:
    TInternetProtocolHandlerFactory() = default;

    HRESULT FOLIVANT_COMCALL CreateInstance(IUnknown* unkOuter, const TGUID& iid,
                                            void** obj) override;
    HRESULT FOLIVANT_COMCALL LockServer(BOOL fLock) override;
};

// One request. Start asks the scheme's component for the data, announces
// all of it at once and serves it through Read; the stream and the sink are
// released when the last hold on the data is given back.
class TInternetProtocolHandler : public TComObject<IInternetProtocol, IID_IInternetProtocol> {
public:
    TInternetProtocolHandler() = default;

    HRESULT FOLIVANT_COMCALL Start(const TUrlChar* szUrl, IInternetProtocolSink* OIProtSink,
                                   IInternetBindInfo* OIBindInfo, DWORD grfPI,
                                   TReserved dwReserved) override;
    HRESULT FOLIVANT_COMCALL Continue(TProtocolData* ProtocolData) override;
    HRESULT FOLIVANT_COMCALL Abort(HRESULT hrReason, DWORD dwOptions) override;
    HRESULT FOLIVANT_COMCALL Terminate(DWORD dwOptions) override;
    HRESULT FOLIVANT_COMCALL Suspend() override;
    HRESULT FOLIVANT_COMCALL Resume() override;
    HRESULT FOLIVANT_COMCALL Read(void* pv, ULONG cb, ULONG* cbRead) override;
    HRESULT FOLIVANT_COMCALL Seek(TLargeInteger dlibMove, DWORD dwOrigin,
                                  TULargeInteger* libNewPosition) override;
    HRESULT FOLIVANT_COMCALL LockRequest(DWORD dwOptions) override;
    HRESULT FOLIVANT_COMCALL UnlockRequest() override;

    // Outstanding holds on the data; for diagnostics and tests.
    std::int32_t LockCount() const { return FLockCount; }
    bool HoldsStream() const { return Stream != nullptr; }

private:
    // A stream still held when the moniker layer lets go of the handler is
    // freed with it.
    ~TInternetProtocolHandler() override = default;
    void ReleaseData();

    TComPtr<IInternetProtocolSink> ProtSink;
    std::unique_ptr<TStream> Stream;
    std::int32_t StreamPosition = 0;
    std::int32_t StreamSize = 0;
    std::int32_t FLockCount = 0;
};

} // namespace Folivant::Shared
