// The WebBrowser control hosted by the browser control, under the real
// engine: created, activated in place in the host window, its events
// connected; BeforeNavigate2 carries the URL and its cancel flag stops the
// navigation; the engine's own navigation reaches the fvp handler, and a
// failed navigation reports NavigateError without harm. The
// site's answers to the engine's host calls are checked through the client
// site the engine holds.
#include "browsercontrol/windows/WebBrowserHost.h"
#include "platform/ui/UrlMon.h"
#include "shared/FvpResolver.h"

#include "support/LinksSupport.h"

#include "PumpWindows.h"

#include <gtest/gtest.h>

#include <docobj.h>
#include <mshtmhst.h>

#include <functional>
#include <string>
#include <vector>

using namespace Folivant;
using namespace Folivant::BrowserControl;
using Folivant::Testing::PumpUntil;

namespace {

// The document host's command group, where script errors arrive.
const GUID DocHostCommands = {
    0xf38bc242, 0xb950, 0x11d1, {0x89, 0x18, 0x00, 0xc0, 0x4f, 0xc2, 0xc8, 0x36}};

class WebBrowserHostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr))); }
    static void TearDownTestSuite() { OleUninitialize(); }

    void SetUp() override {
        WNDCLASSW frameClass{};
        frameClass.lpfnWndProc = DefWindowProcW;
        frameClass.hInstance = GetModuleHandleW(nullptr);
        frameClass.lpszClassName = L"FolivantTestFrame";
        RegisterClassW(&frameClass);
        FFrame = CreateWindowExW(0, L"FolivantTestFrame", L"Folivant", WS_OVERLAPPEDWINDOW, 0, 0,
                                 640, 480, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(FFrame, nullptr);
        ShowWindow(FFrame, SW_SHOWNOACTIVATE);
    }
    void TearDown() override { DestroyWindow(FFrame); }

    HWND FFrame = nullptr;
};

struct TNavigation {
    String Url;
    std::int32_t Status;
};

TEST_F(WebBrowserHostTest, NavigationReachesTheHostAndItsCancelIsHonoured) {
    // The publication's fvp name space, registered with the system's
    // internet session.
    TMemoryStream bytes;
    const std::string archive = Testing::MakeArchive(
        {{"site/index.html", "<html><body>index</body></html>"}, {"site/files/data.zip", "PK"}});
    bytes.WriteBuffer(archive.data(), static_cast<std::int64_t>(archive.size()));
    bytes.SetPosition(0);
    Archive::TZipReader zip;
    zip.Password = Archive::ArchivePassword;
    zip.SetStream(&bytes);
    Platform::InitializeContentProtocol();
    Shared::InitializeProtocolRegistry();
    struct TRegistryEnd {
        ~TRegistryEnd() { Shared::FinalizeProtocolRegistry(); }
    } registryEnd;
    std::vector<String> requests;
    auto protocol = Shared::CreateFvpProtocol(zip, [](const String&) {});
    auto resolve = protocol->OnRequestStream;
    protocol->OnRequestStream = [&](Shared::TInternetProtocol* sender, const String& request,
                                    std::unique_ptr<TStream>& stream) {
        requests.push_back(request);
        resolve(sender, request, stream);
    };
    ASSERT_TRUE(protocol->Active());

    std::vector<String> before;
    std::vector<TNavigation> errors;
    TWebBrowserEvents events;

    // A link to a file kind the publication saves itself never opens as a
    // page.
    events.BeforeNavigate2 = [&](const String& url, const String&, const String&, bool& cancel) {
        before.push_back(url);
        cancel = url.ends_with(u".zip");
    };
    events.NavigateError = [&](const String& url, std::int32_t status) {
        errors.push_back({url, status});
    };
    RECT bounds{0, 0, 600, 400};
    TWebBrowserHost host(FFrame, bounds, TWebBrowserOptions{}, std::move(events));
    ASSERT_NE(host.Browser(), nullptr);
    // Activated in place: the engine's window lives in the host window.
    EXPECT_NE(FindWindowExW(host.Handle(), nullptr, nullptr, nullptr), nullptr);

    host.Navigate(u"fvp://site/files/data.zip");
    ASSERT_TRUE(PumpUntil([&] { return !before.empty(); }));
    host.Navigate(u"fvp://site/index.html");
    // The engine's own navigation reaches the fvp handler; without an HTML
    // engine for Wine it then ends here.
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));

    ASSERT_GE(before.size(), 2u);
    EXPECT_EQ(before[0], u"fvp://site/files/data.zip");
    EXPECT_EQ(before[1], u"fvp://site/index.html");
    // The cancelled link was never requested; the engine handles its
    // navigations in order, so its request would have come first.
    EXPECT_EQ(requests, std::vector<String>{u"//site/index.html"});
    for (const TNavigation& error : errors) {
        std::string url(error.Url.begin(), error.Url.end());
        EXPECT_EQ(error.Url, u"fvp://site/index.html") << url;
    }
}

TEST_F(WebBrowserHostTest, SiteAnswersTheEngineAsTheBrowserWindowAsksIt) {
    RECT bounds{0, 0, 600, 400};
    TWebBrowserHost host(FFrame, bounds, TWebBrowserOptions{}, TWebBrowserEvents{});
    TComPtr<IOleObject> control;
    ASSERT_EQ(
        host.Browser()->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(control.Put())),
        S_OK);
    // The site the engine holds offers every host interface, each with the
    // same identity.
    TComPtr<IOleClientSite> site;
    ASSERT_EQ(control->GetClientSite(site.Put()), S_OK);
    ASSERT_TRUE(site);
    TComPtr<IUnknown> identity;
    ASSERT_EQ(site->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(identity.Put())), S_OK);
    for (const IID* iid :
         {&IID_IOleWindow, &IID_IOleInPlaceSite, &IID_IOleInPlaceUIWindow, &IID_IOleInPlaceFrame,
          &IID_IOleControlSite, &__uuidof(IDocHostUIHandler), &__uuidof(IDocHostUIHandler2),
          &__uuidof(IDocHostShowUI), &IID_IOleCommandTarget, &IID_IServiceProvider,
          &IID_IDispatch}) {
        TComPtr<IUnknown> offered;
        ASSERT_EQ(site->QueryInterface(*iid, reinterpret_cast<void**>(offered.Put())), S_OK);
        TComPtr<IUnknown> same;
        offered->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(same.Put()));
        EXPECT_EQ(same.Get(), identity.Get());
    }

    TComPtr<IDocHostUIHandler> ui;
    site->QueryInterface(__uuidof(IDocHostUIHandler), reinterpret_cast<void**>(ui.Put()));
    DOCHOSTUIINFO info{};
    ASSERT_EQ(ui->GetHostInfo(&info), S_OK);
    EXPECT_EQ(info.dwFlags, 0x100007u);
    // No context menu anywhere.
    POINT at{1, 1};
    EXPECT_EQ(ui->ShowContextMenu(CONTEXT_MENU_TEXTSELECT, &at, nullptr, nullptr), S_OK);
    // Exactly Ctrl+Y is swallowed.
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    MSG ctrlY{host.Handle(), WM_KEYDOWN, 'Y', 0, 0, {}};
    MSG ctrlN{host.Handle(), WM_KEYDOWN, 'N', 0, 0, {}};
    EXPECT_EQ(ui->TranslateAccelerator(&ctrlY, nullptr, 0), S_OK);
    EXPECT_EQ(ui->TranslateAccelerator(&ctrlN, nullptr, 0), S_FALSE);
    keys[VK_SHIFT] = 0x80;
    SetKeyboardState(keys);
    EXPECT_EQ(ui->TranslateAccelerator(&ctrlY, nullptr, 0), S_FALSE);
    keys[VK_CONTROL] = keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    // Keys for the engine reach the owner's handler first; Enter always
    // goes on to the page, and other windows' keys are not the control's.
    host.Events().KeyDown = [](WORD& key) { key = 0; };
    MSG escape{host.Handle(), WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
    MSG enter{host.Handle(), WM_KEYDOWN, VK_RETURN, 0, 0, {}};
    MSG elsewhere{FFrame, WM_KEYDOWN, VK_ESCAPE, 0, 0, {}};
    EXPECT_TRUE(host.PreTranslateMessage(escape));
    EXPECT_FALSE(host.PreTranslateMessage(enter));
    EXPECT_FALSE(host.PreTranslateMessage(elsewhere));

    // A script error goes on without a dialog; other commands are not the
    // host's.
    TComPtr<IOleCommandTarget> commands;
    site->QueryInterface(IID_IOleCommandTarget, reinterpret_cast<void**>(commands.Put()));
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(commands->Exec(&DocHostCommands, OLECMDID_SHOWSCRIPTERROR, 0, nullptr, &out), S_OK);
    EXPECT_EQ(out.vt, VT_BOOL);
    EXPECT_EQ(out.boolVal, VARIANT_TRUE);
    EXPECT_EQ(commands->Exec(&DocHostCommands, OLECMDID_PRINT, 0, nullptr, nullptr),
              OLECMDERR_E_NOTSUPPORTED);

    // The engine reads the download control as an ambient property.
    TComPtr<IDispatch> ambient;
    site->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ambient.Put()));
    DISPPARAMS none{};
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(
        ambient->Invoke(-5512, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 0x70);
}

} // namespace
