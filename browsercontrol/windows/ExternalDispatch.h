#pragma once

// The object that pages see as window.external: an IDispatch whose names
// are the host functions and whose calls run them. The engine asks for a
// name's dispatch id with GetIDsOfNames and then calls Invoke with the
// script's arguments in reverse order; reading a member as a property runs
// the function just as calling it does.
//
// The object also answers IDispatchEx, so that the engine's script calls it
// through InvokeEx with the calling script's service provider. Through that
// the host learns which document calls and which document is at its top,
// which no page script can change, and answers only the publication's own
// documents.

#include "base/Classes.h"
#include "browsercontrol/windows/ComObject.h"

#include <dispex.h>
#include <oaidl.h>

#include <cstdint>
#include <functional>

namespace Folivant::BrowserControl {

// The host functions behind the dispatch object.
class TExternalFunctions {
public:
    virtual ~TExternalFunctions() = default;
    // The function's id for a name, or -1 when no function has that name.
    virtual std::int32_t FunctionIDByName(const String& name) = 0;
    // True when id names a function.
    virtual bool HasFunction(std::int32_t id) = 0;
    // Runs function id with the script's arguments (the last one first in
    // params.rgvarg); result is null when the caller wants none. A failure
    // is raised as an exception.
    virtual void ExecuteFunction(std::int32_t id, const DISPPARAMS& params, VARIANT* result) = 0;
};

// Who calls a host function: the calling document's address and that of
// the top document of its window, as the engine reports them.
struct TExternalCaller {
    String DocumentUrl;
    String TopUrl;
};

class TExternalDispatch final : public TComObject<IDispatchEx> {
public:
    // The caller of a call the engine makes without naming one: the
    // control's own top document.
    using TOwnDocument = std::function<String()>;

    // functions must outlive every call; Detach ends that dependence.
    TExternalDispatch(TExternalFunctions& functions, TOwnDocument ownDocument)
        : FFunctions(&functions), FOwnDocument(std::move(ownDocument)) {}

    // From now on every name is unknown and every call fails: the page may
    // keep the object after its window let the functions go.
    void Detach() { FFunctions = nullptr; }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override;

    // IDispatchEx: names as the script engine looks them up, and calls
    // with their caller. The members are fixed: none can be added or
    // deleted, and they are not enumerated.
    HRESULT STDMETHODCALLTYPE GetDispID(BSTR name, DWORD flags, DISPID* id) override;
    HRESULT STDMETHODCALLTYPE InvokeEx(DISPID id, LCID lcid, WORD flags, DISPPARAMS* params,
                                       VARIANT* result, EXCEPINFO* excepInfo,
                                       IServiceProvider* caller) override;
    HRESULT STDMETHODCALLTYPE DeleteMemberByName(BSTR name, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE DeleteMemberByDispID(DISPID id) override;
    HRESULT STDMETHODCALLTYPE GetMemberProperties(DISPID id, DWORD fetch,
                                                  DWORD* properties) override;
    HRESULT STDMETHODCALLTYPE GetMemberName(DISPID id, BSTR* name) override;
    HRESULT STDMETHODCALLTYPE GetNextDispID(DWORD flags, DISPID id, DISPID* next) override;
    HRESULT STDMETHODCALLTYPE GetNameSpaceParent(IUnknown** parent) override;

protected:
    void* ExtraInterface(REFIID riid) override;

private:
    // Runs function id for a caller already found to be the publication.
    HRESULT Run(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo);
    TExternalCaller OwnCaller() const;

    TExternalFunctions* FFunctions;
    TOwnDocument FOwnDocument;
};

// The calling document and its top document as the caller's service
// provider of an InvokeEx tells them (the script's window); empty addresses
// for what it does not tell.
TExternalCaller CallerOf(IServiceProvider* caller);

// Whether url is an address of the publication (scheme fvp, any case).
bool HasFvpScheme(const String& url);
// Whether a host call from caller comes from the publication: its top
// document of the publication (fvp:), and the caller one of the
// publication's documents or an empty (about:blank) or inline (srcdoc)
// document inside one.
bool IsPublicationCaller(const TExternalCaller& caller);
// Whether a document at url may lead to the publication's addresses: one of
// the publication, the engine's empty and own error documents, or none yet.
bool MayReachPublication(const String& url);

// Fills excepInfo (when given) for a failure that a host function raised:
// code 9999, the failure's class name as source and its message as
// description. Answers DISP_E_EXCEPTION.
HRESULT ReportException(EXCEPINFO* excepInfo, const String& className, const String& message);

// The text of a wide string from the engine (null gives the empty string).
String WideToString(const wchar_t* text);
// A new BSTR holding text; the caller frees it.
BSTR StringToBstr(const String& text);

} // namespace Folivant::BrowserControl
