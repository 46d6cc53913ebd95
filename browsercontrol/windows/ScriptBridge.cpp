// The bridge's value types name their constants as the Windows headers'
// macros do, so they come before any Windows header.
#include "shared/BrowserJs.h"
#include "shared/GlobalMainForm.h"

#include "browsercontrol/windows/ScriptBridge.h"
#include "browsercontrol/windows/WebBrowserHost.h"

#include <oleauto.h>

namespace Folivant::BrowserControl {

namespace {

// What the bridge asks of the browser control.
class TBridgeBrowser final : public Shared::TJsBrowser {
public:
    explicit TBridgeBrowser(TWebBrowserHost& host) : FHost(host) {}
    void ShowFindDialog() override { FHost.ShowFindDialog(); }
    void PrintPreview() override { FHost.PrintPreview(); }

private:
    TWebBrowserHost& FHost;
};

String BstrText(BSTR text) {
    if (text == nullptr)
        return String();
    return String(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
}

// The text a value converts to, as the engine converts it; empty when it
// has none.
String ConvertedText(const VARIANT& value) {
    VARIANT text;
    VariantInit(&text);
    String result;
    if (SUCCEEDED(VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR)) &&
        text.vt == VT_BSTR)
        result = BstrText(text.bstrVal);
    VariantClear(&text);
    return result;
}

// A script argument as the bridge takes it. Objects carry their text; other
// numbers become doubles.
Shared::TVariant ToBridge(const VARIANT& arg) {
    const VARIANT* value = &arg;
    if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal != nullptr)
        value = value->pvarVal;
    switch (value->vt) {
    case VT_EMPTY:
        return Shared::TVariant::Empty();
    case VT_NULL:
        return Shared::TVariant::Null();
    case VT_BSTR:
        return Shared::TVariant::FromString(BstrText(value->bstrVal));
    case VT_BOOL:
        return Shared::TVariant::FromBool(value->boolVal != VARIANT_FALSE);
    case VT_I2:
        return Shared::TVariant::FromInt(value->iVal);
    case VT_I4:
    case VT_INT:
        return Shared::TVariant::FromInt(value->lVal);
    case VT_R8:
        return Shared::TVariant::FromDouble(value->dblVal);
    case VT_DISPATCH: {
        Shared::TVariant object;
        object.vt = Shared::VT_DISPATCH;
        object.bstrVal = ConvertedText(*value);
        return object;
    }
    default: {
        VARIANT number;
        VariantInit(&number);
        Shared::TVariant result = Shared::TVariant::Empty();
        if (SUCCEEDED(VariantChangeType(&number, const_cast<VARIANT*>(value), 0, VT_R8)) &&
            number.vt == VT_R8)
            result = Shared::TVariant::FromDouble(number.dblVal);
        VariantClear(&number);
        return result;
    }
    }
}

// Stores a bridge result in the engine's result VARIANT.
void FromBridge(const Shared::TVariant& value, VARIANT* result) {
    VariantClear(result);
    switch (value.vt) {
    case Shared::VT_BSTR:
        result->bstrVal = StringToBstr(value.bstrVal);
        if (result->bstrVal == nullptr)
            throw EOutOfMemory(u"Out of memory.");
        result->vt = VT_BSTR;
        break;
    case Shared::VT_I2:
    case Shared::VT_I4:
        result->vt = VT_I4;
        result->lVal = value.intVal;
        break;
    case Shared::VT_BOOL:
        result->vt = VT_BOOL;
        result->boolVal = value.intVal != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    case Shared::VT_R8:
        result->vt = VT_R8;
        result->dblVal = value.dblVal;
        break;
    case Shared::VT_NULL:
        result->vt = VT_NULL;
        break;
    default:
        break;
    }
}

class TScriptBridgeFunctions final : public TExternalFunctions {
public:
    explicit TScriptBridgeFunctions(TWebBrowserHost& host) : FBrowser(host) {}
    ~TScriptBridgeFunctions() override {
        try {
            if (Shared::TBrowserJs::ReleaseSound(FBrowser) && Shared::ActiveMainForm != nullptr)
                Shared::ActiveMainForm->StopWavSound();
        } catch (...) {
            // The window goes either way; a sound that would not stop
            // changes nothing here.
        }
    }

    std::int32_t FunctionIDByName(const String& name) override {
        return FJavaScript.FunctionIDByName(name);
    }
    bool HasFunction(std::int32_t id) override { return !FJavaScript.FunctionNameByID(id).empty(); }
    void ExecuteFunction(std::int32_t id, const DISPPARAMS& params, VARIANT* result) override {
        // The arguments keep the engine's order, the last one first.
        Shared::TDispParams args;
        args.rgvarg.reserve(params.cArgs);
        for (UINT i = 0; i < params.cArgs; ++i)
            args.rgvarg.push_back(ToBridge(params.rgvarg[i]));
        // A function without result leaves the engine's VARIANT as it was.
        Shared::TVariant out;
        FJavaScript.ExecuteFunction(FBrowser, id, args, result != nullptr ? &out : nullptr);
        if (result != nullptr && out.vt != Shared::VT_EMPTY)
            FromBridge(out, result);
    }

private:
    TBridgeBrowser FBrowser;
    Shared::TBrowserJs FJavaScript;
};

} // namespace

std::unique_ptr<TExternalFunctions> NewScriptBridgeFunctions(TWebBrowserHost& browser) {
    return std::make_unique<TScriptBridgeFunctions>(browser);
}

} // namespace Folivant::BrowserControl
