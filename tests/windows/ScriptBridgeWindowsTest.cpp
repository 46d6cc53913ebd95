// window.external on Windows, called the way the engine calls it: names
// looked up with GetIDsOfNames, calls and property reads through Invoke with
// the script's arguments in reverse order, results as VARIANTs, and a
// failing host function reported through EXCEPINFO.
#include "browsercontrol/windows/ScriptBridge.h"
#include "browsercontrol/windows/WebBrowserHost.h"
#include "shared/GlobalMainForm.h"

#include <gtest/gtest.h>

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
        FExternal = new TExternalDispatch(*FFunctions);
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

} // namespace
