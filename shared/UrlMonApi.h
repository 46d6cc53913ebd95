#pragma once

// The URL-moniker layer as the content protocol sees it: interface
// identifiers, IUnknown reference counting, and the abstract interfaces of
// the internet session, the protocol handler, its sink and the class
// factory. The platform provides the session (CoInternetGetSession); tests
// install a session of their own.

#include "shared/ComTypes.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

namespace Folivant::Shared {

#ifdef _WIN32
// On Windows the URL-moniker layer is the system's own: its interfaces,
// identifiers and value types, whose methods use its calling convention
// (FOLIVANT_COMCALL); the protocol handler and its class factory are then
// real COM objects.
using ::BOOL;
using ::DWORD;
using ::ULONG;
using TGUID = ::GUID;
using TProtocolData = ::PROTOCOLDATA;
// The text, reserved-handle and 64-bit types of the interfaces' methods.
using TUrlChar = wchar_t;
using TReserved = ::HANDLE_PTR;
using TLargeInteger = ::LARGE_INTEGER;
using TULargeInteger = ::ULARGE_INTEGER;
#define FOLIVANT_COMCALL STDMETHODCALLTYPE

using ::IClassFactory;
using ::IInternetBindInfo;
using ::IInternetProtocol;
using ::IInternetProtocolRoot;
using ::IInternetProtocolSink;
using ::IInternetSession;
using ::IUnknown;

using ::IID_IClassFactory;
using ::IID_IInternetBindInfo;
using ::IID_IInternetProtocol;
using ::IID_IInternetProtocolRoot;
using ::IID_IInternetProtocolSink;
using ::IID_IInternetSession;
using ::IID_IUnknown;

using ::BINDSTATUS_MIMETYPEAVAILABLE;
using ::BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE;
using ::BSCF_DATAFULLYAVAILABLE;
using ::BSCF_FIRSTDATANOTIFICATION;
using ::BSCF_INTERMEDIATEDATANOTIFICATION;
using ::BSCF_LASTDATANOTIFICATION;
#else

using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using BOOL = std::int32_t;

// The text, reserved-handle and 64-bit types of the interfaces' methods.
using TUrlChar = char16_t;
using TReserved = std::uintptr_t;
using TLargeInteger = std::int64_t;
using TULargeInteger = std::uint64_t;
#define FOLIVANT_COMCALL

struct TGUID {
    std::uint32_t D1;
    std::uint16_t D2;
    std::uint16_t D3;
    std::uint8_t D4[8];
    friend bool operator==(const TGUID&, const TGUID&) = default;
};

inline constexpr TGUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr TGUID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr TGUID IID_IInternetBindInfo = {
    0x79EAC9E1, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr TGUID IID_IInternetProtocolRoot = {
    0x79EAC9E3, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr TGUID IID_IInternetProtocol = {
    0x79EAC9E4, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr TGUID IID_IInternetProtocolSink = {
    0x79EAC9E5, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr TGUID IID_IInternetSession = {
    0x79EAC9E7, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};

// Flags of ReportData.
inline constexpr DWORD BSCF_FIRSTDATANOTIFICATION = 0x01;
inline constexpr DWORD BSCF_INTERMEDIATEDATANOTIFICATION = 0x02;
inline constexpr DWORD BSCF_LASTDATANOTIFICATION = 0x04;
inline constexpr DWORD BSCF_DATAFULLYAVAILABLE = 0x08;

// Status codes of ReportProgress that carry a content type.
inline constexpr ULONG BINDSTATUS_MIMETYPEAVAILABLE = 13;
inline constexpr ULONG BINDSTATUS_VERIFIEDMIMETYPEAVAILABLE = 40;

class IUnknown {
public:
    virtual HRESULT QueryInterface(const TGUID& iid, void** obj) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    // Objects are freed through Release only.
    virtual ~IUnknown() = default;
};

struct TProtocolData {
    DWORD grfFlags = 0;
    DWORD dwState = 0;
    void* pData = nullptr;
    ULONG cbData = 0;
};

// The bind information of a request. Only its identity is declared: on this
// system it carries nothing about who a request is for (the engine's own
// request tells the platform that), so RootDocumentUrl never knows.
class IInternetBindInfo : public IUnknown {};

class IInternetProtocolSink : public IUnknown {
public:
    virtual HRESULT Switch(TProtocolData* pProtocolData) = 0;
    virtual HRESULT ReportProgress(ULONG ulStatusCode, const char16_t* szStatusText) = 0;
    virtual HRESULT ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax) = 0;
    virtual HRESULT ReportResult(HRESULT hrResult, DWORD dwError, const char16_t* szResult) = 0;
};

class IInternetProtocolRoot : public IUnknown {
public:
    virtual HRESULT Start(const TUrlChar* szUrl, IInternetProtocolSink* OIProtSink,
                          IInternetBindInfo* OIBindInfo, DWORD grfPI, TReserved dwReserved) = 0;
    virtual HRESULT Continue(TProtocolData* ProtocolData) = 0;
    virtual HRESULT Abort(HRESULT hrReason, DWORD dwOptions) = 0;
    virtual HRESULT Terminate(DWORD dwOptions) = 0;
    virtual HRESULT Suspend() = 0;
    virtual HRESULT Resume() = 0;
};

class IInternetProtocol : public IInternetProtocolRoot {
public:
    virtual HRESULT Read(void* pv, ULONG cb, ULONG* cbRead) = 0;
    virtual HRESULT Seek(TLargeInteger dlibMove, DWORD dwOrigin,
                         TULargeInteger* libNewPosition) = 0;
    virtual HRESULT LockRequest(DWORD dwOptions) = 0;
    virtual HRESULT UnlockRequest() = 0;
};

class IClassFactory : public IUnknown {
public:
    virtual HRESULT CreateInstance(IUnknown* unkOuter, const TGUID& iid, void** obj) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;
};

// The part of the internet session that registers temporary, process-local
// name-space handlers.
class IInternetSession : public IUnknown {
public:
    virtual HRESULT RegisterNameSpace(IClassFactory* pCF, const TGUID& rclsid,
                                      const char16_t* pwzProtocol, ULONG cPatterns,
                                      const char16_t* const* ppwzPatterns, DWORD dwReserved) = 0;
    virtual HRESULT UnregisterNameSpace(IClassFactory* pCF, const char16_t* pszProtocol) = 0;
};
#endif

// The IUnknown part of an object that implements one interface, Interface,
// whose identifier is Iid: QueryInterface answers that interface and
// IUnknown, and the last Release frees the object. The count starts at 0;
// the creator takes the first reference.
template <class Interface, const TGUID& Iid> class TComObject : public Interface {
public:
    HRESULT FOLIVANT_COMCALL QueryInterface(const TGUID& iid, void** obj) override {
        if (obj == nullptr) {
            return E_POINTER;
        }
        if (iid == IID_IUnknown || iid == Iid) {
            *obj = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *obj = nullptr;
        return E_NOINTERFACE;
    }
    ULONG FOLIVANT_COMCALL AddRef() override { return ++FRefCount; }
    ULONG FOLIVANT_COMCALL Release() override {
        const ULONG count = --FRefCount;
        if (count == 0) {
            delete this;
        }
        return count;
    }

protected:
    virtual ~TComObject() = default;

private:
    std::atomic<ULONG> FRefCount{0};
};

// An interface reference that holds one reference count for as long as it
// lives, like a Delphi interface variable.
template <class T> class TComPtr {
public:
    TComPtr() = default;
    TComPtr(std::nullptr_t) {}
    // Takes a new reference to p.
    explicit TComPtr(T* p) : FPtr(p) {
        if (FPtr != nullptr) {
            FPtr->AddRef();
        }
    }
    TComPtr(const TComPtr& other) : TComPtr(other.FPtr) {}
    TComPtr(TComPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
    ~TComPtr() { Reset(); }
    TComPtr& operator=(TComPtr other) noexcept {
        std::swap(FPtr, other.FPtr);
        return *this;
    }

    // Adopts a reference the caller already owns (an out parameter).
    static TComPtr Attach(T* p) {
        TComPtr result;
        result.FPtr = p;
        return result;
    }
    void Reset() {
        if (T* p = std::exchange(FPtr, nullptr)) {
            p->Release();
        }
    }
    T* Get() const { return FPtr; }
    T* operator->() const { return FPtr; }
    explicit operator bool() const { return FPtr != nullptr; }
    // The address of the slot, for out parameters; drops what it held.
    void** Out() {
        Reset();
        return reinterpret_cast<void**>(&FPtr);
    }

private:
    T* FPtr = nullptr;
};

// Obtains the process's internet session (one reference, to be released by
// the caller) from whichever provider is installed; E_FAIL and a nil session
// when none is.
HRESULT CoInternetGetSession(DWORD dwSessionMode, IInternetSession** ppIInternetSession,
                             DWORD dwReserved);

// The URL of the top document a request is made for, as the engine reports
// it in the request's bind information (on Windows its root-document string);
// nothing when the engine does not say: no bind information, a refusal, or
// an empty answer.
std::optional<String> RootDocumentUrl(IInternetBindInfo* bindInfo);

using TInternetSessionProvider = std::function<HRESULT(IInternetSession** session)>;
// Installs the provider of CoInternetGetSession (the platform at start-up, or
// a test); an empty provider removes it. Returns the previous one.
TInternetSessionProvider SetInternetSessionProvider(TInternetSessionProvider provider);

} // namespace Folivant::Shared
