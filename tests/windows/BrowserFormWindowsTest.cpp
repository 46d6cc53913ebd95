// Browser windows on the WebBrowser control: the engine's new-window,
// navigation and window-closing events raised into a window's event sink
// exactly as the engine raises them (IDispatch::Invoke with the arguments in
// reverse order, out arguments by reference).
#include "browsercontrol/windows/HostedEngine.h"
#include "desktop/BrowserForm.h"
#include "platform/windows/FormsWindows.h"

#include "PumpWindows.h"

#include <gtest/gtest.h>

#include <ole2.h>
#include <oleauto.h>

#include <functional>
#include <memory>
#include <vector>

using namespace Folivant;
using namespace Folivant::BrowserControl;
using Folivant::Testing::PumpUntil;

namespace {

// The main window as browser windows reach it: placed at 100, 80 with a
// size of 500 x 400; it records the addresses given to the navigation
// check, which handles programs (.exe).
class TMainFormStub : public Shared::TGlobalMainForm {
public:
    std::vector<String> Checked;
    bool IsRuntime() override { return true; }
    bool OpenFile(const String&) override { return false; }
    bool PlayWavSound(const String&, bool) override { return false; }
    bool HandleDownloableFiles(const String& url) override {
        Checked.push_back(url);
        return url.ends_with(u".exe");
    }
    void StopWavSound() override {}
    String Caption() const override { return u"Book"; }
    int Left() const override { return 100; }
    int Top() const override { return 80; }
    int Width() const override { return 500; }
    int Height() const override { return 400; }
    void Close() override {}
};

// A browser window's own window.
HWND WindowOf(const Shared::TBrowserForm& form) {
    return form.Window() != nullptr ? form.Window()->Native().Window : nullptr;
}

// The COM identity of an object, for comparing two references to it.
IUnknown* IdentityOf(IUnknown* object) {
    IUnknown* identity = nullptr;
    object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    identity->Release();
    return identity;
}

// Raises one DWebBrowserEvents2 event into the event sink of form's control
// as the engine does: IDispatch::Invoke with the arguments in reverse order.
HRESULT Raise(const Shared::TBrowserForm& form, DISPID id, std::vector<VARIANT> reversed) {
    IDispatch* sink = EngineEventSinkBelow(WindowOf(form));
    if (sink == nullptr)
        return E_FAIL;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    const HRESULT hr =
        sink->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    sink->Release();
    return hr;
}

VARIANT ByRef(VARIANT_BOOL* value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_BOOL;
    v.pboolVal = value;
    return v;
}
VARIANT ByRef(IDispatch** value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_DISPATCH;
    v.ppdispVal = value;
    return v;
}
VARIANT ByRef(VARIANT* value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_VARIANT;
    v.pvarVal = value;
    return v;
}
// A BSTR argument; the string lives as long as text.
VARIANT Bstr(BSTR text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = text;
    return v;
}

class BrowserWindowEventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        Shared::ActiveMainForm = &FMain;
        FOpener = std::make_unique<Shared::TBrowserForm>();
        FOpener->SetBounds(0, 0, 400, 300);
        FOpener->Show();
        IDispatch* sink = EngineEventSinkBelow(WindowOf(*FOpener));
        ASSERT_NE(sink, nullptr);
        sink->Release();
    }
    void TearDown() override {
        Shared::TBrowserForm::FreeApplicationWindows();
        FOpener.reset();
        Shared::ActiveMainForm = nullptr;
    }

    // NewWindow3 (dispid 273) on host's sink, as the engine raises it for a
    // page at context opening url; answers the Cancel the handler left and
    // the object handed back in ppDisp (one reference for the caller).
    VARIANT_BOOL NewWindow3(const Shared::TBrowserForm& form, const wchar_t* url,
                            const wchar_t* context, IDispatch** ppDisp) {
        VARIANT_BOOL cancel = VARIANT_FALSE;
        BSTR urlText = SysAllocString(url);
        BSTR contextText = SysAllocString(context);
        VARIANT flags;
        VariantInit(&flags);
        flags.vt = VT_I4;
        flags.lVal = 0;
        EXPECT_EQ(Raise(form, 273,
                        {Bstr(urlText), Bstr(contextText), flags, ByRef(&cancel), ByRef(ppDisp)}),
                  S_OK);
        SysFreeString(urlText);
        SysFreeString(contextText);
        return cancel;
    }

    // BeforeNavigate2 (dispid 250) on host's sink for its own top frame
    // going to url; answers Cancel.
    VARIANT_BOOL BeforeNavigate2(const Shared::TBrowserForm& form, const wchar_t* url) {
        VARIANT_BOOL cancel = VARIANT_FALSE;
        VARIANT address, flags, target, post, headers;
        for (VARIANT* v : {&address, &flags, &target, &post, &headers})
            VariantInit(v);
        address.vt = VT_BSTR;
        address.bstrVal = SysAllocString(url);
        VARIANT frame;
        VariantInit(&frame);
        frame.vt = VT_DISPATCH;
        frame.pdispVal = EngineApplicationBelow(WindowOf(form));
        EXPECT_EQ(Raise(form, 250,
                        {ByRef(&cancel), ByRef(&headers), ByRef(&post), ByRef(&target),
                         ByRef(&flags), ByRef(&address), frame}),
                  S_OK);
        VariantClear(&frame);
        VariantClear(&address);
        return cancel;
    }

    TMainFormStub FMain;
    std::unique_ptr<Shared::TBrowserForm> FOpener;
};

TEST_F(BrowserWindowEventsTest, NewWindowsOpenOverTheMainWindowAndCloseAfterTheEvent) {
    const auto& windows = Shared::TBrowserForm::ApplicationWindows();
    const Shared::TBrowserForm& opener = *FOpener;

    // Both events lead to one new window at the main window's position plus
    // 15 with its size, whose control's Application goes back to the engine.
    IDispatch* application = nullptr;
    EXPECT_EQ(NewWindow3(opener, L"fvp://site/next.html", L"fvp://site/index.html", &application),
              VARIANT_FALSE);
    ASSERT_EQ(windows.size(), 1u);
    ASSERT_NE(application, nullptr);
    VARIANT_BOOL cancel = VARIANT_FALSE;
    IDispatch* second = nullptr;
    ASSERT_EQ(Raise(opener, 251, {ByRef(&cancel), ByRef(&second)}), S_OK);
    EXPECT_EQ(cancel, VARIANT_FALSE);
    ASSERT_EQ(windows.size(), 2u);
    ASSERT_NE(second, nullptr);
    for (std::size_t i = 0; i < 2; ++i) {
        const Platform::TOuterBounds bounds = windows[i]->Window()->Bounds();
        EXPECT_EQ(bounds.Left, 115);
        EXPECT_EQ(bounds.Top, 95);
        EXPECT_EQ(bounds.Width, 500);
        EXPECT_EQ(bounds.Height, 400);
        EXPECT_TRUE(windows[i]->Visible());
        IDispatch* own = EngineApplicationBelow(WindowOf(*windows[i]));
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(IdentityOf(own), IdentityOf(i == 0 ? application : second));
        own->Release();
    }
    // An engine raising NewWindow3 after NewWindow2 finds the window handed
    // back and gets no second one.
    EXPECT_EQ(NewWindow3(opener, L"fvp://site/next.html", L"fvp://site/index.html", &second),
              VARIANT_FALSE);
    EXPECT_EQ(windows.size(), 2u);
    application->Release();
    second->Release();

    // A script's close is cancelled for the engine and carried out once the
    // event has returned: the window hides and its bridge goes.
    const Shared::TBrowserForm& opened = *windows[0];
    VARIANT child;
    VariantInit(&child);
    child.vt = VT_BOOL;
    child.boolVal = VARIANT_FALSE;
    cancel = VARIANT_FALSE;
    ASSERT_EQ(Raise(opened, 263, {ByRef(&cancel), child}), S_OK);
    EXPECT_EQ(cancel, VARIANT_TRUE);
    EXPECT_TRUE(windows[0]->Visible());
    EXPECT_TRUE(windows[0]->BridgeAvailable());
    EXPECT_TRUE(PumpUntil([&] { return !windows[0]->Visible(); }, 10000));
    EXPECT_FALSE(windows[0]->BridgeAvailable());
    EXPECT_TRUE(windows[1]->Visible());
}

TEST_F(BrowserWindowEventsTest, OnlyThePublicationsPagesOpenItsAddressesAndPrograms) {
    const auto& windows = Shared::TBrowserForm::ApplicationWindows();
    const Shared::TBrowserForm& opener = *FOpener;

    // A foreign page asking for a window on the publication gets none.
    IDispatch* application = nullptr;
    EXPECT_EQ(NewWindow3(opener, L"fvp://site/tool.exe", L"http://127.0.0.1/", &application),
              VARIANT_TRUE);
    EXPECT_EQ(application, nullptr);
    EXPECT_TRUE(windows.empty());

    // A foreign page's window on its own site opens; its first navigation
    // to a program of the publication is refused without the check, while
    // a window the publication opened runs the check.
    ASSERT_EQ(NewWindow3(opener, L"http://127.0.0.1/a", L"http://127.0.0.1/", &application),
              VARIANT_FALSE);
    ASSERT_EQ(windows.size(), 1u);
    application->Release();
    application = nullptr;
    ASSERT_EQ(NewWindow3(opener, L"fvp://site/b.html", L"fvp://site/index.html", &application),
              VARIANT_FALSE);
    ASSERT_EQ(windows.size(), 2u);
    application->Release();
    EXPECT_EQ(BeforeNavigate2(*windows[0], L"fvp://site/tool.exe"), VARIANT_TRUE);
    EXPECT_TRUE(FMain.Checked.empty());
    EXPECT_EQ(BeforeNavigate2(*windows[1], L"fvp://site/tool.exe"), VARIANT_TRUE);
    EXPECT_EQ(FMain.Checked, std::vector<String>{u"fvp://site/tool.exe"});
    EXPECT_EQ(BeforeNavigate2(*windows[1], L"fvp://site/c.html"), VARIANT_FALSE);
    EXPECT_EQ(FMain.Checked.size(), 2u);

    // Back from a page elsewhere to a publication document the window has
    // shown (DocumentComplete, dispid 259) is the reader's step and goes
    // ahead; other addresses of the publication stay refused.
    // A frame's document (pDisp another browser object, here the second
    // window's) counts as shown but is not the window's document complete.
    EXPECT_EQ(BeforeNavigate2(*windows[0], L"fvp://site/c.html"), VARIANT_TRUE);
    int completed = 0;
    windows[0]->WebBrowser->OnDocumentComplete = [&](BrowserControl::TWebBrowserControl*) {
        ++completed;
    };
    for (const auto& [owner, url] : {std::pair{windows[1].get(), L"fvp://site/frame.html"},
                                     std::pair{windows[0].get(), L"fvp://site/c.html"}}) {
        VARIANT frame, shown;
        VariantInit(&frame);
        frame.vt = VT_DISPATCH;
        frame.pdispVal = EngineApplicationBelow(WindowOf(*owner));
        VariantInit(&shown);
        shown.vt = VT_BSTR;
        shown.bstrVal = SysAllocString(url);
        ASSERT_EQ(Raise(*windows[0], 259, {ByRef(&shown), frame}), S_OK);
        VariantClear(&shown);
        VariantClear(&frame);
    }
    EXPECT_EQ(completed, 1);
    windows[0]->WebBrowser->OnDocumentComplete = nullptr;
    EXPECT_EQ(BeforeNavigate2(*windows[0], L"fvp://site/frame.html"), VARIANT_FALSE);
    EXPECT_EQ(BeforeNavigate2(*windows[0], L"fvp://site/c.html"), VARIANT_FALSE);
    EXPECT_EQ(BeforeNavigate2(*windows[0], L"fvp://site/tool.exe"), VARIANT_TRUE);
    EXPECT_EQ(FMain.Checked, (std::vector<String>{u"fvp://site/tool.exe", u"fvp://site/c.html",
                                                  u"fvp://site/frame.html", u"fvp://site/c.html"}));
}

} // namespace
