#include "browsercontrol/windows/ExternalDispatch.h"

#include "shared/FvpScheme.h"

#include <cxxabi.h>
#include <mshtml.h>
#include <oleauto.h>

#include <cstdlib>
#include <exception>
#include <string_view>
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

// What a refused caller learns: the same as from a window whose host
// functions are gone.
const char16_t NotAvailable[] = u"The host function is not available here";

bool SameAsciiTextPrefix(const String& text, std::u16string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

bool HasScheme(const String& url, std::u16string_view scheme) {
    return SameAsciiTextPrefix(url, scheme) && url.size() > scheme.size() &&
           url[scheme.size()] == u':';
}

// One property of a script object read through its dispatch interface, as
// the engine's own objects (windows, documents) answer it; an empty VARIANT
// when the object refuses it (another origin's window refuses the host as
// it refuses a script).
void ReadProperty(IDispatch* object, const wchar_t* name, VARIANT& value) {
    VariantInit(&value);
    if (object == nullptr)
        return;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
        return;
    DISPPARAMS none{};
    if (FAILED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                              &value, nullptr, nullptr)))
        VariantClear(&value);
}

// The address of the document a script window shows, empty when unknown.
String DocumentUrlOf(IDispatch* window) {
    VARIANT document;
    ReadProperty(window, L"document", document);
    String url;
    if (document.vt == VT_DISPATCH) {
        VARIANT text;
        ReadProperty(document.pdispVal, L"URL", text);
        if (text.vt == VT_BSTR && text.bstrVal != nullptr)
            url.assign(reinterpret_cast<const char16_t*>(text.bstrVal), SysStringLen(text.bstrVal));
        VariantClear(&text);
    }
    VariantClear(&document);
    return url;
}

} // namespace

bool HasFvpScheme(const String& url) {
    return HasScheme(url, Shared::FvpScheme);
}

bool IsPublicationCaller(const TExternalCaller& caller) {
    if (!HasFvpScheme(caller.TopUrl))
        return false;
    return HasFvpScheme(caller.DocumentUrl) || caller.DocumentUrl == u"about:blank" ||
           caller.DocumentUrl == u"about:srcdoc";
}

bool MayReachPublication(const String& url) {
    return url.empty() || HasFvpScheme(url) || url == u"about:blank" || HasScheme(url, u"res");
}

TExternalCaller CallerOf(IServiceProvider* caller) {
    TExternalCaller result;
    if (caller == nullptr)
        return result;
    // The script's window, asked for as the engine documents it; only its
    // dispatch part is used.
    IHTMLWindow2* window = nullptr;
    if (FAILED(caller->QueryService(SID_SHTMLWindow, IID_IHTMLWindow2,
                                    reinterpret_cast<void**>(&window))) ||
        window == nullptr)
        return result;
    result.DocumentUrl = DocumentUrlOf(window);
    VARIANT top;
    ReadProperty(window, L"top", top);
    if (top.vt == VT_DISPATCH)
        result.TopUrl = DocumentUrlOf(top.pdispVal);
    VariantClear(&top);
    window->Release();
    return result;
}

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
    return NoTypeInfoCount(count);
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) {
    return NoTypeInfo(info);
}

void* TExternalDispatch::ExtraInterface(REFIID riid) {
    if (IsEqualIID(riid, IID_IDispatch))
        return static_cast<IDispatch*>(this);
    return nullptr;
}

TExternalCaller TExternalDispatch::OwnCaller() const {
    TExternalCaller caller;
    if (FOwnDocument)
        caller.DocumentUrl = caller.TopUrl = FOwnDocument();
    return caller;
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

// A call without a caller: the engine names none where it runs no page
// script of its own (a plain IDispatch client). The only document known
// then is the control's top document, which decides: a page that is not
// the publication's own gets nothing, and the publication's pages keep
// every function.
HRESULT STDMETHODCALLTYPE TExternalDispatch::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                                    DISPPARAMS* params, VARIANT* result,
                                                    EXCEPINFO* excepInfo, UINT* argErr) {
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (FFunctions != nullptr && FFunctions->HasFunction(id) && !IsPublicationCaller(OwnCaller()))
        return ReportException(excepInfo, u"Exception", NotAvailable);
    return Run(id, flags, params, result, excepInfo);
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetDispID(BSTR name, DWORD flags, DISPID* id) {
    if (id == nullptr)
        return E_POINTER;
    *id = DISPID_UNKNOWN;
    if (name == nullptr || FFunctions == nullptr)
        return E_NOTIMPL;
    // The bridge's names match in any letter case whatever the engine asks.
    const std::int32_t found = FFunctions->FunctionIDByName(
        String(reinterpret_cast<const char16_t*>(name), SysStringLen(name)));
    // As for GetIDsOfNames: the script sees an error for another name.
    if (found == -1)
        return E_NOTIMPL;
    *id = found;
    return S_OK;
}

// A script's call names its caller: the calling document and its top
// document decide. When the caller tells neither (no script window behind
// it), the control's top document decides, as for Invoke.
HRESULT STDMETHODCALLTYPE TExternalDispatch::InvokeEx(DISPID id, LCID lcid, WORD flags,
                                                      DISPPARAMS* params, VARIANT* result,
                                                      EXCEPINFO* excepInfo,
                                                      IServiceProvider* caller) {
    if (FFunctions == nullptr || !FFunctions->HasFunction(id))
        return DISP_E_MEMBERNOTFOUND;
    TExternalCaller who = CallerOf(caller);
    if (who.DocumentUrl.empty() && who.TopUrl.empty())
        who = OwnCaller();
    if (!IsPublicationCaller(who))
        return ReportException(excepInfo, u"Exception", NotAvailable);
    return Run(id, flags, params, result, excepInfo);
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::DeleteMemberByName(BSTR name, DWORD flags) {
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::DeleteMemberByDispID(DISPID id) {
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetMemberProperties(DISPID id, DWORD fetch,
                                                                 DWORD* properties) {
    if (properties != nullptr)
        *properties = 0;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetMemberName(DISPID id, BSTR* name) {
    if (name != nullptr)
        *name = nullptr;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetNextDispID(DWORD flags, DISPID id, DISPID* next) {
    if (next != nullptr)
        *next = DISPID_UNKNOWN;
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE TExternalDispatch::GetNameSpaceParent(IUnknown** parent) {
    if (parent != nullptr)
        *parent = nullptr;
    return E_NOTIMPL;
}

HRESULT TExternalDispatch::Run(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* excepInfo) {
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
