#pragma once

// The object that pages see as window.external: an IDispatch whose names
// are the host functions and whose calls run them. The engine asks for a
// name's dispatch id with GetIDsOfNames and then calls Invoke with the
// script's arguments in reverse order; reading a member as a property runs
// the function just as calling it does.

#include "base/Classes.h"
#include "browsercontrol/windows/ComObject.h"

#include <oaidl.h>

#include <cstdint>

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

class TExternalDispatch final : public TComObject<IDispatch> {
public:
    // functions must outlive every call; Detach ends that dependence.
    explicit TExternalDispatch(TExternalFunctions& functions) : FFunctions(&functions) {}

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

private:
    TExternalFunctions* FFunctions;
};

// Fills excepInfo (when given) for a failure that a host function raised:
// code 9999, the failure's class name as source and its message as
// description. Answers DISP_E_EXCEPTION.
HRESULT ReportException(EXCEPINFO* excepInfo, const String& className, const String& message);

// The text of a wide string from the engine (null gives the empty string).
String WideToString(const wchar_t* text);
// A new BSTR holding text; the caller frees it.
BSTR StringToBstr(const String& text);

} // namespace Folivant::BrowserControl
