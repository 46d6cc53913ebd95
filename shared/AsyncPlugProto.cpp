#include "shared/AsyncPlugProto.h"

#include "base/Text.h"
#include "platform/SystemServices.h"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace Folivant::Shared {

namespace {

// Runs each call on the caller's thread: the hidden window of programs that
// have no GUI thread (the packer, portable tools).
class TDirectDispatcher : public TDispatcher {
public:
    void Send(const std::function<void()>& call) override { call(); }
};

std::mutex DispatcherFactoryLock;

TDispatcherFactory& DispatcherFactory() {
    static TDispatcherFactory factory;
    return factory;
}

std::unique_ptr<TDispatcher> NewDispatcher() {
    TDispatcherFactory factory;
    {
        std::lock_guard guard(DispatcherFactoryLock);
        factory = DispatcherFactory();
    }
    if (factory) {
        if (auto dispatcher = factory()) {
            return dispatcher;
        }
    }
    return std::make_unique<TDirectDispatcher>();
}

// The protocol registry. The lock lives as long as the process, so that a
// request arriving on another thread at shut-down never meets a destroyed
// lock; the list and the references exist from InitializeProtocolRegistry
// to FinalizeProtocolRegistry.
struct TProtocolEntry {
    String Scheme;
    TInternetProtocol* Component;
};

struct TProtocolRegistry {
    std::vector<TProtocolEntry> ProtocolList;
    TComPtr<IInternetSession> ProtocolSession;
    TComPtr<IClassFactory> ProtocolFactory;
};

std::recursive_mutex ProtocolLock;
TProtocolRegistry* Registry = nullptr;

// A scheme name as the moniker layer's text type (UTF-16 on every system).
const TUrlChar* UrlChars(const String& text) {
    static_assert(sizeof(TUrlChar) == sizeof(char16_t));
    return reinterpret_cast<const TUrlChar*>(text.c_str());
}

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

// Scheme names compare without regard to case, as URL schemes do; only the
// ASCII letters are folded since only they can start a URL scheme.
bool SameScheme(const String& a, const String& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// Index of the first entry for scheme, or -1. Called under ProtocolLock.
int FindScheme(const String& scheme) {
    if (Registry == nullptr) {
        return -1;
    }
    for (std::size_t i = 0; i < Registry->ProtocolList.size(); ++i) {
        if (SameScheme(Registry->ProtocolList[i].Scheme, scheme)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Whether a request of scheme is answered for the top document root, as the
// engine reports it; when the engine does not say, the request is answered
// as it always was. The publication's own documents are those of the scheme
// itself. The engine names about:blank (or nothing) as the top document of
// the navigation that opens a page in a window showing nothing yet: the
// publication's first page, in the main window and in each new one. Any
// other top document (a web page, a local file, a data or blob URL) is
// foreign: it may neither read an entry nor learn that one exists.
bool AnswersRootDocument(const String& scheme, const std::optional<String>& root) {
    if (!root) {
        return true;
    }
    const std::size_t colon = root->find(u':');
    if (colon != String::npos && colon > 0 && SameScheme(root->substr(0, colon), scheme)) {
        return true;
    }
    return SameScheme(*root, u"about:blank");
}

bool IsLetter(char32_t c) {
    if (c < 0x80) {
        return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
    }
    return Platform::IsUnicodeLetter(c);
}

} // namespace

TDispatcherFactory SetDispatcherFactory(TDispatcherFactory factory) {
    std::lock_guard guard(DispatcherFactoryLock);
    return std::exchange(DispatcherFactory(), std::move(factory));
}

// ---------------------------------------------------------------------------
// TInternetProtocol

TInternetProtocol::TInternetProtocol(TComponent* AOwner)
    : TComponent(AOwner), FHandle(NewDispatcher()) {}

TInternetProtocol::~TInternetProtocol() {
    try {
        SetActive(false);
    } catch (...) {
        // Unregistering only removes a list entry and tells the session;
        // a session that fails must not keep the component alive.
    }
}

void TInternetProtocol::Loaded() {
    TComponent::Loaded();
    if (FActive) {
        RegisterProtocol();
    }
}

void TInternetProtocol::SetActive(bool value) {
    if (value == FActive) {
        return;
    }
    if (!value) {
        UnregisterProtocol();
    } else if (!Loading()) {
        RegisterProtocol();
    }
    FActive = value;
}

void TInternetProtocol::SetProtocol(const String& value) {
    if (!IsValidIdent(value)) {
        throw EInternetException(
            u"The Internet Protocol selected is not a valid protocol identifier");
    }
    const bool wasActive = FActive;
    try {
        SetActive(false);
        FProtocol = value;
    } catch (...) {
        SetActive(wasActive);
        throw;
    }
    SetActive(wasActive);
}

bool TInternetProtocol::IsValidIdent(const String& name) {
    if (name.empty()) {
        return false;
    }
    bool first = true;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
            name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        }
        const bool ok = c == U'_' || IsLetter(c) || (!first && c >= U'0' && c <= U'9');
        if (!ok) {
            return false;
        }
        first = false;
    }
    return true;
}

std::intptr_t TInternetProtocol::WndProc(unsigned message, std::uintptr_t wParam,
                                         std::intptr_t lParam) {
    if (message == WM_USER) {
        if (OnRequestStream) {
            const String request(reinterpret_cast<const char16_t*>(wParam));
            OnRequestStream(this, request, *reinterpret_cast<std::unique_ptr<TStream>*>(lParam));
        }
        return 0;
    }
    return 0;
}

void TInternetProtocol::RegisterProtocol() {
    AddProtocolScheme(FProtocol, this);
}

void TInternetProtocol::UnregisterProtocol() {
    RemoveProtocolScheme(FProtocol);
}

// ---------------------------------------------------------------------------
// Protocol registry

void AddProtocolScheme(const String& scheme, TInternetProtocol* component) {
    std::lock_guard guard(ProtocolLock);
    if (Registry == nullptr) {
        throw EInternetException(u"The protocol registry does not exist");
    }
    // The latest activation wins: the previous owner is deactivated, and its
    // RemoveProtocolScheme re-enters the lock to drop its entry.
    const int existing = FindScheme(scheme);
    if (existing >= 0) {
        Registry->ProtocolList[static_cast<std::size_t>(existing)].Component->SetActive(false);
        // A component whose scheme changed behind the registry's back would
        // leave its entry; never keep two owners of one scheme.
        const int stale = FindScheme(scheme);
        if (stale >= 0) {
            RemoveProtocolScheme(Registry->ProtocolList[static_cast<std::size_t>(stale)].Scheme);
        }
    }
    if (Registry->ProtocolList.empty()) {
        Registry->ProtocolFactory = TComPtr<IClassFactory>(new TInternetProtocolHandlerFactory);
        IInternetSession* session = nullptr;
        Shared::CoInternetGetSession(0, &session, 0);
        Registry->ProtocolSession = TComPtr<IInternetSession>::Attach(session);
    }
    Registry->ProtocolList.push_back({scheme, component});
    // Without a session the scheme stays listed but no engine request can
    // reach it; calling through a nil session would crash.
    if (Registry->ProtocolSession) {
        Registry->ProtocolSession->RegisterNameSpace(Registry->ProtocolFactory.Get(),
                                                     IID_IInternetProtocol, UrlChars(scheme), 0,
                                                     nullptr, 0);
    }
}

void RemoveProtocolScheme(const String& scheme) {
    std::lock_guard guard(ProtocolLock);
    const int index = FindScheme(scheme);
    if (index < 0) {
        return;
    }
    const String registered = Registry->ProtocolList[static_cast<std::size_t>(index)].Scheme;
    Registry->ProtocolList.erase(Registry->ProtocolList.begin() + index);
    if (Registry->ProtocolSession) {
        Registry->ProtocolSession->UnregisterNameSpace(Registry->ProtocolFactory.Get(),
                                                       UrlChars(registered));
    }
    if (Registry->ProtocolList.empty()) {
        Registry->ProtocolSession.Reset();
        Registry->ProtocolFactory.Reset();
    }
}

void InitializeProtocolRegistry() {
    std::lock_guard guard(ProtocolLock);
    if (Registry == nullptr) {
        Registry = new TProtocolRegistry;
    }
}

void FinalizeProtocolRegistry() {
    std::lock_guard guard(ProtocolLock);
    if (Registry == nullptr) {
        return;
    }
    while (!Registry->ProtocolList.empty()) {
        const TProtocolEntry first = Registry->ProtocolList.front();
        try {
            first.Component->SetActive(false);
        } catch (...) {
            // Finalisation must end with an empty list whatever the session
            // answers.
        }
        if (!Registry->ProtocolList.empty() &&
            Registry->ProtocolList.front().Component == first.Component) {
            Registry->ProtocolList.erase(Registry->ProtocolList.begin());
        }
    }
    delete std::exchange(Registry, nullptr);
}

TProtocolRegistryState ProtocolRegistryState() {
    std::lock_guard guard(ProtocolLock);
    TProtocolRegistryState state;
    if (Registry != nullptr) {
        for (const auto& entry : Registry->ProtocolList) {
            state.Schemes.push_back(entry.Scheme);
        }
        state.Session = Registry->ProtocolSession.Get();
        state.Factory = Registry->ProtocolFactory.Get();
    }
    return state;
}

// ---------------------------------------------------------------------------
// TInternetProtocolHandlerFactory

HRESULT FOLIVANT_COMCALL TInternetProtocolHandlerFactory::CreateInstance(IUnknown* unkOuter,
                                                                         const TGUID& iid,
                                                                         void** obj) {
    if (iid == IID_IInternetProtocol || iid == IID_IUnknown) {
        if (obj == nullptr) {
            return E_POINTER;
        }
        auto* handler = new TInternetProtocolHandler;
        handler->AddRef();
        *obj = static_cast<IInternetProtocol*>(handler);
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandlerFactory::LockServer(BOOL fLock) {
    if (fLock != 0) {
        AddRef();
    } else {
        Release();
    }
    return S_OK;
}

// ---------------------------------------------------------------------------
// TInternetProtocolHandler

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::Start(const TUrlChar* szUrl,
                                                         IInternetProtocolSink* OIProtSink,
                                                         IInternetBindInfo* OIBindInfo, DWORD grfPI,
                                                         TReserved dwReserved) {
    String url;
    if (szUrl != nullptr) {
        const std::basic_string_view<TUrlChar> text(szUrl);
        url.assign(text.begin(), text.end());
    }
    Stream.reset();

    const std::size_t colon = url.find(u':');
    String scheme;
    String request;
    if (colon == String::npos) {
        request = url;
    } else {
        scheme = url.substr(0, colon);
        request = url.substr(colon + 1);
    }

    // A request for a foreign document is answered as a missing entry, and
    // the component is never asked for it, so nothing of the entry is read.
    // The engine is asked before the lock is taken: it may call back.
    const bool answered = AnswersRootDocument(scheme, RootDocumentUrl(OIBindInfo));

    if (answered) {
        // Held from the lookup until the event has returned, so that the
        // component cannot be deactivated or freed while its event runs.
        std::lock_guard guard(ProtocolLock);
        const int index = FindScheme(scheme);
        if (index >= 0) {
            TInternetProtocol* component =
                Registry->ProtocolList[static_cast<std::size_t>(index)].Component;
            const auto wParam = reinterpret_cast<std::uintptr_t>(request.c_str());
            const auto lParam = reinterpret_cast<std::intptr_t>(&Stream);
            component->Handle().Send([&] { component->WndProc(WM_USER, wParam, lParam); });
        }
    }

    if (!Stream) {
        return INET_E_USE_DEFAULT_PROTOCOLHANDLER;
    }
    StreamSize = static_cast<std::int32_t>(static_cast<std::uint32_t>(Stream->Size()));
    Stream->SetPosition(0);
    StreamPosition = 0;
    FLockCount = 1;
    ProtSink = TComPtr<IInternetProtocolSink>(OIProtSink);

    // Everything is announced at once: the data is complete before Start
    // returns, so the moniker layer may read it right away.
    const auto size = static_cast<ULONG>(StreamSize);
    if (ProtSink) {
        ProtSink->ReportData(BSCF_FIRSTDATANOTIFICATION | BSCF_LASTDATANOTIFICATION |
                                 BSCF_DATAFULLYAVAILABLE,
                             size, size);
    }
    if (ProtSink) {
        ProtSink->ReportResult(S_OK, 0, nullptr);
    }
    return S_OK;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::Continue(TProtocolData* ProtocolData) {
    return S_OK;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::Abort(HRESULT hrReason, DWORD dwOptions) {
    return E_NOTIMPL;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::Terminate(DWORD dwOptions) {
    return UnlockRequest();
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::Suspend() {
    return E_NOTIMPL;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::Resume() {
    return E_NOTIMPL;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::Read(void* pv, ULONG cb, ULONG* cbRead) {
    ULONG got = 0;
    if (Stream && pv != nullptr) {
        got = static_cast<ULONG>(Stream->Read(pv, cb));
    }
    if (cbRead != nullptr) {
        *cbRead = got;
    }
    // The counters wrap as 32-bit values do rather than overflow.
    StreamPosition = static_cast<std::int32_t>(static_cast<std::uint32_t>(StreamPosition) + got);
    if (StreamPosition == StreamSize) {
        return S_FALSE;
    }
    // A stream that has nothing more to give (freed, or shorter than it
    // claimed) ends the data; answering E_PENDING would make the reader
    // wait for bytes that never come.
    if (!Stream || (got == 0 && cb > 0)) {
        return S_FALSE;
    }
    return E_PENDING;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::Seek(TLargeInteger dlibMove, DWORD dwOrigin,
                                                        TULargeInteger* libNewPosition) {
    return E_NOTIMPL;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::LockRequest(DWORD dwOptions) {
    ++FLockCount;
    return S_OK;
}

HRESULT FOLIVANT_COMCALL TInternetProtocolHandler::UnlockRequest() {
    --FLockCount;
    if (FLockCount == 0) {
        ReleaseData();
    }
    return S_OK;
}

void TInternetProtocolHandler::ReleaseData() {
    if (Stream) {
        std::unique_ptr<TStream> stream = std::move(Stream);
        stream.reset();
    }
    ProtSink.Reset();
}

} // namespace Folivant::Shared
