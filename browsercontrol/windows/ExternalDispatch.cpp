#include "browsercontrol/windows/ExternalDispatch.h"

#include <cxxabi.h>
#include <oleauto.h>

#include <cstdlib>
#include <exception>
#include <typeinfo>

namespace Folivant::BrowserControl {

namespace {

// The class name of a failure without its namespaces, as scripts see it.
String ClassNameOf(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
    std::free(demangled);
    auto colon = name.rfind("::");
    if (colon != std::string::npos)
        name.erase(0, colon + 2);
    return String(name.begin(), name.end());
}

String NarrowToString(const char* text) {
    std::string s = text != nullptr ? text : "";
    return String(s.begin(), s.end());
}

} // namespace

String WideToString(const wchar_t* text) {
    if (text == nullptr)
        return String();
    return String(reinterpret_cast<const char16_t*>(text));
}

BSTR StringToBstr(const String& text) {
    return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                             static_cast<UINT>(text.size()));
}

HRESULT ReportException(EXCEPINFO* excepInfo, const String& className, const String& message) {
    if (excepInfo != nullptr) {
        *excepInfo = EXCEPINFO{};
        excepInfo->wCode = 9999;
        excepInfo->bstrSource = StringToBstr(className);
        excepInfo->bstrDescription = StringToBstr(message);
    }
    return DISP_E_EXCEPTION;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetTypeInfoCount(UINT* count) {
    if (count == nullptr)
        return E_POINTER;
    *count = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
    if (info != nullptr)
        *info = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count,
                                                           LCID lcid, DISPID* ids) {
    if (names == nullptr || ids == nullptr)
        return E_POINTER;
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    for (UINT i = 0; i < count; ++i)
        ids[i] = DISPID_UNKNOWN;
    // Only the member's name counts; the functions take no named arguments,
    // so further names are ignored. A name that is no bridge function is
    // answered E_NOTIMPL, which the script sees as an error.
    if (count == 0 || FFunctions == nullptr)
        return E_NOTIMPL;
    std::int32_t id = FFunctions->FunctionIDByName(WideToString(names[0]));
    if (id == -1)
        return E_NOTIMPL;
    ids[0] = id;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                                    DISPPARAMS* params, VARIANT* result,
                                                    EXCEPINFO* excepInfo, UINT* argErr) {
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (FFunctions == nullptr || !FFunctions->HasFunction(id))
        return DISP_E_MEMBERNOTFOUND;
    // A call or a property read runs the function; the members cannot be
    // assigned.
    if ((flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0)
        return DISP_E_MEMBERNOTFOUND;
    DISPPARAMS none{};
    const DISPPARAMS& args = params != nullptr ? *params : none;
    if (args.cArgs > 0 && args.rgvarg == nullptr)
        return E_INVALIDARG;
    try {
        FFunctions->ExecuteFunction(id, args, result);
        return S_OK;
    } catch (const Exception& e) {
        return ReportException(excepInfo, ClassNameOf(typeid(e)), e.Message());
    } catch (const std::exception& e) {
        return ReportException(excepInfo, ClassNameOf(typeid(e)), NarrowToString(e.what()));
    } catch (...) {
        return ReportException(excepInfo, u"Exception", u"The host function failed.");
    }
}

} // namespace Folivant::BrowserControl
