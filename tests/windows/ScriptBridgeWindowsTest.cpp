// window.external on Windows, called the way the engine calls it: names
// looked up with GetIDsOfNames, calls and property reads through Invoke with
// the script's arguments in reverse order, results as VARIANTs, and a
// failing host function reported through EXCEPINFO.
#include "browsercontrol/windows/ScriptBridge.h"
#include "browsercontrol/windows/WebBrowserHost.h"
#include "shared/GlobalMainForm.h"

#include <gtest/gtest.h>

#include <dispex.h>
#include <mshtml.h>
#include <oleauto.h>

#include <memory>
#include <string>
#include <vector>

using namespace Folivant;
using namespace Folivant::BrowserControl;

namespace {

std::string Narrow(const String& s) {
    return std::string(s.begin(), s.end());
}

class EFileRefused : public Exception {
public:
    using Exception::Exception;
};

// The main window as the bridge reaches it; opening a file fails.
class TRecordingMainForm : public Shared::TGlobalMainForm {
public:
    std::vector<std::string> Calls;
    bool IsRuntime() override { return true; }
    bool OpenFile(const String& path) override {
        throw EFileRefused(u"File \"" + path + u"\" can't be read.");
    }
    bool PlayWavSound(const String& path, bool loop) override {
        Calls.push_back("play " + Narrow(path) + (loop ? " loop" : " once"));
        return true;
    }
    bool HandleDownloableFiles(const String&) override { return false; }
    void StopWavSound() override { Calls.push_back("stop"); }
    String Caption() const override { return u"Folivant"; }
    int Left() const override { return 0; }
    int Top() const override { return 0; }
    int Width() const override { return 640; }
    int Height() const override { return 480; }
    void Close() override {}
};

// A script argument as the engine passes it.
VARIANT Text(const wchar_t* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}
VARIANT Bool(bool b) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

class ScriptBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
        Shared::ActiveMainForm = &FMain;
        RECT bounds{0, 0, 320, 240};
        FHost = std::make_unique<TWebBrowserHost>(GetDesktopWindow(), bounds, TWebBrowserOptions{},
                                                  TWebBrowserEvents{});
        FFunctions = NewScriptBridgeFunctions(*FHost);
        FExternal = new TExternalDispatch(*FFunctions, [this] { return FOwnDocument; });
    }
    void TearDown() override {
        FExternal->Detach();
        FExternal->Release();
        FFunctions.reset();
        FHost.reset();
        Shared::ActiveMainForm = nullptr;
        OleUninitialize();
    }

    DISPID IdOf(const wchar_t* name, HRESULT* result = nullptr) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPID id = 0;
        HRESULT hr = FExternal->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        if (result != nullptr)
            *result = hr;
        return id;
    }

    // Invokes id with the arguments in script order; they reach the object
    // last first, as the engine sends them. Frees the arguments.
    HRESULT Call(DISPID id, WORD flags, std::vector<VARIANT> scriptOrder, VARIANT* result,
                 EXCEPINFO* excepInfo = nullptr) {
        std::vector<VARIANT> reversed(scriptOrder.rbegin(), scriptOrder.rend());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        HRESULT hr = FExternal->Invoke(id, IID_NULL, 0, flags, &params, result, excepInfo, nullptr);
        for (VARIANT& v : reversed)
            VariantClear(&v);
        return hr;
    }

    TRecordingMainForm FMain;
    // The control's own top document, for calls without a caller.
    String FOwnDocument = u"fvp://site/index.html";
    std::unique_ptr<TWebBrowserHost> FHost;
    std::unique_ptr<TExternalFunctions> FFunctions;
    TExternalDispatch* FExternal = nullptr;
};

TEST_F(ScriptBridgeTest, NamesCallsAndPropertyReadsAnswerAsTheEngineExpects) {
    HRESULT hr = E_FAIL;
    EXPECT_EQ(IdOf(L"APPISRUNTIME", &hr), 8);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(IdOf(L"sayhello", &hr), 9999);
    EXPECT_EQ(IdOf(L"appIsRuntime ", &hr), DISPID_UNKNOWN);
    EXPECT_EQ(hr, E_NOTIMPL);

    VARIANT result;
    VariantInit(&result);
    // Two arguments arrive last first: the path is rgvarg[1], the flag rgvarg[0].
    ASSERT_EQ(Call(3, DISPATCH_METHOD, {Text(L"s.wav"), Bool(true)}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_EMPTY);
    ASSERT_EQ(Call(9999, DISPATCH_METHOD, {Text(L"Ann")}, &result), S_OK);
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(result.bstrVal, SysStringLen(result.bstrVal)), L"Hello Ann!");
    VariantClear(&result);

    // Reading a member runs the function.
    ASSERT_EQ(Call(8, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 1);
    ASSERT_EQ(Call(4, DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(FMain.Calls, (std::vector<std::string>{"play s.wav loop", "stop"}));
    ASSERT_EQ(Call(7, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, &result), S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    VariantClear(&result);
    // Members cannot be assigned, and ids that name no function are not
    // members.
    EXPECT_EQ(Call(8, DISPATCH_PROPERTYPUT, {Bool(false)}, nullptr), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Call(10, DISPATCH_METHOD, {}, &result), DISP_E_MEMBERNOTFOUND);

    // The window's functions going away stop the sound its page started
    // last; the page's object then answers nothing.
    ASSERT_EQ(Call(3, DISPATCH_METHOD, {Text(L"s.wav")}, &result), S_OK);
    FExternal->Detach();
    FFunctions.reset();
    EXPECT_EQ(FMain.Calls,
              (std::vector<std::string>{"play s.wav loop", "stop", "play s.wav once", "stop"}));
    EXPECT_EQ(IdOf(L"SayHello", &hr), DISPID_UNKNOWN);
    EXPECT_EQ(hr, E_NOTIMPL);
}

TEST_F(ScriptBridgeTest, AFailingFunctionBecomesAScriptException) {
    EXCEPINFO info{};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(Call(IdOf(L"appOpenFile"), DISPATCH_METHOD, {Text(L"a.pdf")}, &result, &info),
              DISP_E_EXCEPTION);
    EXPECT_EQ(info.wCode, 9999);
    ASSERT_NE(info.bstrSource, nullptr);
    ASSERT_NE(info.bstrDescription, nullptr);
    EXPECT_EQ(std::wstring(info.bstrSource), L"EFileRefused");
    EXPECT_EQ(std::wstring(info.bstrDescription), L"File \"a.pdf\" can't be read.");
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    // Without EXCEPINFO the call still fails, without harm.
    EXPECT_EQ(Call(5, DISPATCH_METHOD, {Text(L"a.pdf")}, &result), DISP_E_EXCEPTION);
}

// A script object of the engine (a window or a document) as the host reads
// it: named properties through its dispatch interface.
class TFakeScriptObject final : public TComObject<IDispatch> {
public:
    struct TProperty {
        const wchar_t* Name;
        String Text;
        TFakeScriptObject* Object = nullptr;
    };
    explicit TFakeScriptObject(std::vector<TProperty> properties)
        : FProperties(std::move(properties)) {}

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        return NoTypeInfoCount(count);
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        return NoTypeInfo(info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        for (std::size_t i = 0; i < FProperties.size(); ++i)
            if (count == 1 && std::wstring(names[0]) == FProperties[i].Name) {
                ids[0] = static_cast<DISPID>(i + 1);
                return S_OK;
            }
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*,
                                     VARIANT* result, EXCEPINFO*, UINT*) override {
        if (id < 1 || static_cast<std::size_t>(id) > FProperties.size() ||
            flags != DISPATCH_PROPERTYGET || result == nullptr)
            return DISP_E_MEMBERNOTFOUND;
        const TProperty& property = FProperties[id - 1];
        VariantInit(result);
        if (property.Object != nullptr) {
            result->vt = VT_DISPATCH;
            result->pdispVal = property.Object;
            property.Object->AddRef();
        } else {
            result->vt = VT_BSTR;
            result->bstrVal = StringToBstr(property.Text);
        }
        return S_OK;
    }

private:
    ~TFakeScriptObject() override {
        for (TProperty& property : FProperties)
            if (property.Object != nullptr)
                property.Object->Release();
    }
    std::vector<TProperty> FProperties;
};

// The caller the engine's script passes to InvokeEx: a service provider
// that hands out the calling script's window, showing documentUrl inside a
// top window showing topUrl. Only the window's dispatch part is used.
class TFakeCaller final : public TComObject<IServiceProvider> {
public:
    TFakeCaller(const String& documentUrl, const String& topUrl) {
        auto* topDocument = new TFakeScriptObject({{L"URL", topUrl}});
        auto* top = new TFakeScriptObject({{L"document", String(), topDocument}});
        auto* document = new TFakeScriptObject({{L"URL", documentUrl}});
        FWindow =
            new TFakeScriptObject({{L"document", String(), document}, {L"top", String(), top}});
    }
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID riid, void** object) override {
        *object = nullptr;
        if (!IsEqualGUID(service, IID_IHTMLWindow2) || !IsEqualIID(riid, IID_IHTMLWindow2))
            return E_NOINTERFACE;
        FWindow->AddRef();
        *object = static_cast<IDispatch*>(FWindow);
        return S_OK;
    }

private:
    ~TFakeCaller() override { FWindow->Release(); }
    TFakeScriptObject* FWindow;
};

TEST_F(ScriptBridgeTest, OnlyThePublicationsDocumentsReachTheHostFunctions) {
    struct TCase {
        const char16_t* Document;
        const char16_t* Top;
        // The control's own top document, for a caller that tells nothing.
        const char16_t* Own;
        bool Answered;
    } cases[] = {
        {u"fvp://site/index.html", u"fvp://site/index.html", u"http://127.0.0.1/", true},
        {u"FVP://site/a/b.html", u"fvp://site/index.html", u"", true},
        {u"about:blank", u"fvp://site/index.html", u"", true},
        {u"http://127.0.0.1/", u"http://127.0.0.1/", u"fvp://site/index.html", false},
        // A foreign frame inside a publication page, and a publication page
        // framed by a foreign one.
        {u"http://127.0.0.1/", u"fvp://site/index.html", u"fvp://site/index.html", false},
        {u"fvp://site/index.html", u"http://127.0.0.1/", u"fvp://site/index.html", false},
        {u"about:blank", u"http://127.0.0.1/", u"fvp://site/index.html", false},
        {u"fvpx://site/index.html", u"fvpx://site/index.html", u"", false},
        // No caller's window: the control's own document decides.
        {nullptr, nullptr, u"fvp://site/index.html", true},
        {nullptr, nullptr, u"http://127.0.0.1/", false},
        {nullptr, nullptr, u"", false},
    };
    TComPtr<IDispatchEx> external;
    ASSERT_EQ(
        FExternal->QueryInterface(__uuidof(IDispatchEx), reinterpret_cast<void**>(external.Put())),
        S_OK);
    BSTR name = SysAllocString(L"APPISRUNTIME");
    DISPID id = 0;
    ASSERT_EQ(external->GetDispID(name, fdexNameCaseInsensitive, &id), S_OK);
    SysFreeString(name);
    for (const TCase& c : cases) {
        FOwnDocument = c.Own;
        TFakeCaller* caller = c.Document != nullptr ? new TFakeCaller(c.Document, c.Top) : nullptr;
        DISPPARAMS none{};
        VARIANT result;
        VariantInit(&result);
        EXCEPINFO info{};
        const HRESULT hr =
            external->InvokeEx(id, 0, DISPATCH_METHOD, &none, &result, &info, caller);
        const std::string what = Narrow(c.Document != nullptr ? c.Document : u"(none)") + " in " +
                                 Narrow(c.Top != nullptr ? c.Top : u"(none)") + ", own " +
                                 Narrow(c.Own);
        if (c.Answered) {
            EXPECT_EQ(hr, S_OK) << what;
            EXPECT_EQ(result.vt, VT_I4) << what;
        } else {
            EXPECT_EQ(hr, DISP_E_EXCEPTION) << what;
            EXPECT_EQ(result.vt, VT_EMPTY) << what;
            ASSERT_NE(info.bstrDescription, nullptr) << what;
            EXPECT_EQ(std::wstring(info.bstrDescription),
                      L"The host function is not available here");
        }
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        VariantClear(&result);
        if (caller != nullptr)
            caller->Release();
    }
    // A plain Invoke names no caller either.
    FOwnDocument = u"http://127.0.0.1/";
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(Call(8, DISPATCH_METHOD, {}, &result), DISP_E_EXCEPTION);
    EXPECT_EQ(result.vt, VT_EMPTY);
}

} // namespace
