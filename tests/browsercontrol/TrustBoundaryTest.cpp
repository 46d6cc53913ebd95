// Only the publication's own pages reach the publication: a page from a
// loopback web server tries every route to start, save or read an entry and
// to call host functions, at the top of the window and framed by a
// publication page, and gets nothing; the publication's own pages keep
// their links, new windows and host functions, also in blank, srcdoc and
// written frames and in unload handlers.

#include "browsercontrol/BridgeHost.h"
#include "browsercontrol/WebTestSupport.h"
#include "desktop/BrowserForm.h"
#include "base/PosixFiles.h"
#include "platform/gtk/GlibOwner.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace Folivant;
using namespace Folivant::Testing;
using Folivant::Platform::TGString;
using Folivant::Shared::TBrowserForm;

namespace {

// The hostile page. Every route ends in the publication's "tool.exe" (an
// execute kind), "secret.js" or "pic.png"; the page reports what it learnt
// to /report and then asks for /done.
const char* const RemotePage = R"(<!DOCTYPE html><body>
<a id="a" href="fvp://site/tool.exe?click">x</a>
<a id="blank" target="_blank" href="fvp://site/tool.exe?blank">x</a>
<form id="f" method="POST" action="fvp://site/tool.exe?post" target="ff"><input name="q"></form>
<iframe name="ff"></iframe>
<iframe style="display:none" src="fvp://site/tool.exe?iframe"></iframe>
<iframe id="framed" src="fvp://site/index.html?framed"></iframe>
<iframe sandbox="allow-scripts" srcdoc="<script>location.href='fvp://site/tool.exe?sandbox'</script>"></iframe>
<iframe srcdoc="<meta http-equiv=refresh content='0;url=fvp://site/tool.exe?meta'>"></iframe>
<iframe src="/redirect"></iframe>
<object data="fvp://site/tool.exe?object"></object>
<script src="fvp://site/secret.js?script"></script>
<script>
var r = [];
r.push('secret=' + typeof secret);
r.push('external=' + typeof window.external);
try { window.external.appOpenFile('tool.exe'); } catch (e) {}
var img = new Image();
img.onload = function () { r.push('img=load'); };
img.onerror = function () { r.push('img=error'); };
img.src = 'fvp://site/pic.png?img';
fetch('fvp://site/secret.js?fetch').then(function (x) { return x.text(); })
  .then(function (t) { r.push('fetch=' + t); }, function () { r.push('fetch=failed'); });
var x = new XMLHttpRequest();
try { x.open('GET', 'fvp://site/secret.js?xhr', false); x.send(); r.push('xhr=' + x.responseText); }
catch (e) { r.push('xhr=failed'); }
document.getElementById('a').click();
document.getElementById('f').submit();
document.getElementById('blank').click();
window.open('fvp://site/tool.exe?open');
try { document.open('fvp://site/tool.exe?docopen', '', ''); } catch (e) {}
var child = document.createElement('iframe');
document.body.appendChild(child);
child.contentWindow.open('fvp://site/tool.exe?childopen');
try { top.location = 'fvp://site/tool.exe?top'; } catch (e) {}
setTimeout(function () {
  var framed = document.getElementById('framed').contentWindow;
  try { r.push('framed=' + typeof framed.external.appIsRuntime); } catch (e) { r.push('framed=denied'); }
  fetch('/report?' + encodeURIComponent(r.sort().join(' '))).finally(function () {
    location.href = 'fvp://site/tool.exe?location';
    setTimeout(function () { new Image().src = '/done'; }, 300);
  });
}, 500);
</script></body>)";

// The remote site: the hostile page under /page, a redirect to the
// publication under /redirect, nothing anywhere else.
THttpReply RemoteSite(const std::string& path) {
    if (path == "/redirect")
        return {"302 Found", "Location: fvp://site/tool.exe?redirect\r\n", ""};
    return {"200 OK", "Content-Type: text/html\r\n", path.rfind("/page", 0) == 0 ? RemotePage : ""};
}

bool Asked(const TLoopbackServer& remote, const std::string& prefix) {
    for (const auto& p : remote.Paths())
        if (p.rfind(prefix, 0) == 0)
            return true;
    return false;
}

// What the hostile page learnt, as it reported it.
std::string Report(const TLoopbackServer& remote) {
    for (const auto& p : remote.Paths())
        if (p.rfind("/report?", 0) == 0) {
            const TGString text(g_uri_unescape_string(p.c_str() + 8, nullptr));
            return text != nullptr ? text.Get() : "";
        }
    return std::string();
}

class TrustBoundaryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!EnsureGtk())
            GTEST_SKIP() << "no display";
        UseTestSite({{"site/index.html", "<!DOCTYPE html><p>publication</p>"}});
        AddTestSiteFile("site/tool.exe", "application/x-msdownload", "MZ");
        AddTestSiteFile("site/secret.js", "text/javascript", "var secret = 42;");
        AddTestSiteFile("site/pic.png", "image/png", "not really a picture");
        FMain.DownloadKinds = {".exe", ".zip"};
        Shared::ActiveMainForm = &FMain;
        TestSiteRequests().clear();
    }
    void TearDown() override {
        FForm.reset();
        TBrowserForm::FreeApplicationWindows();
        Shared::ActiveMainForm = nullptr;
    }

    WebKitWebView* Open(const std::string& url) {
        FForm = std::make_unique<TBrowserForm>();
        FForm->SetBounds(10, 10, 600, 500);
        FForm->Show();
        FForm->WebBrowser->Navigate(Utf8ToString(url));
        WebKitWebView* view = FForm->WebBrowser->WebView();
        EXPECT_TRUE(WaitLoaded(view, url));
        return view;
    }

    TRecordingMainForm FMain;
    std::unique_ptr<TBrowserForm> FForm;
};

TEST_F(TrustBoundaryTest, ARemotePageReachesNoEntryAndStartsNothing) {
    // The reader followed a link to the remote page, or a publication page
    // frames it.
    for (bool framed : {false, true}) {
        SCOPED_TRACE(framed ? "framed by the publication" : "at the top of the window");
        TLoopbackServer remote(RemoteSite);
        UseTestSite({{"site/frames.html", "<!DOCTYPE html><iframe src='" +
                                              remote.Url("/page?framed") + "'></iframe>"}});
        FMain.Calls.clear();
        TestSiteRequests().clear();
        const std::string start = framed ? "fvp://site/frames.html" : remote.Url("/page");
        Open(start);
        ASSERT_TRUE(RunUntil([&] { return Asked(remote, "/done"); }));

        // Nothing was asked of the publication but the framing page itself,
        // nothing reached the link actions, and no window opened.
        std::vector<std::string> expectedRequests;
        if (framed)
            expectedRequests.push_back(start);
        EXPECT_EQ(TestSiteRequests(), expectedRequests);
        std::vector<std::string> expectedCalls = {"HandleDownloableFiles " + start};
        for (const auto& call : FMain.Calls)
            EXPECT_TRUE(call.rfind("HandleDownloableFiles http://127.0.0.1:", 0) == 0 ||
                        call == expectedCalls[0] || call == "HandleDownloableFiles about:blank" ||
                        call == "HandleDownloableFiles about:srcdoc")
                << call;
        EXPECT_TRUE(TBrowserForm::ApplicationWindows().empty());
        EXPECT_EQ(Report(remote),
                  "external=undefined fetch=failed framed=denied img=error secret=undefined "
                  "xhr=failed");
        EXPECT_STREQ(webkit_web_view_get_uri(FForm->WebBrowser->WebView()), start.c_str());
    }
}

// A real click of the reader on a link of the page.
void ClickAt(WebKitWebView* view, double x, double y) {
    GtkWidget* widget = GTK_WIDGET(view);
    GdkWindow* window = gtk_widget_get_window(widget);
    if (!gtk_widget_get_has_window(widget)) {
        GtkAllocation allocation;
        gtk_widget_get_allocation(widget, &allocation);
        x += allocation.x;
        y += allocation.y;
    }
    GdkSeat* seat = gdk_display_get_default_seat(gdk_display_get_default());
    for (GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
        GdkEvent* event = gdk_event_new(type);
        event->button.window = GDK_WINDOW(g_object_ref(window));
        event->button.time = static_cast<guint32>(g_get_monotonic_time() / 1000);
        event->button.x = x;
        event->button.y = y;
        event->button.button = 1;
        if (type == GDK_BUTTON_RELEASE)
            event->button.state = GDK_BUTTON1_MASK;
        gdk_event_set_device(event, gdk_seat_get_pointer(seat));
        gtk_main_do_event(event);
        gdk_event_free(event);
    }
}

TEST_F(TrustBoundaryTest, PublicationPagesKeepTheirLinksAndHostFunctions) {
    UseTestSite(
        {{"site/own.html", "<!DOCTYPE html><body style='margin:0'>"
                           "<a id='e' href='tool.exe' style='display:block;height:40px'>run</a>"
                           "<a id='z' target='_blank' href='pack.zip'>save</a>"
                           "<a id='x' target='_blank' href='tool.exe?blank'>start</a>"
                           "<iframe id='blank'></iframe><iframe id='sd' srcdoc='<p>s'></iframe>"
                           "<iframe id='dw'></iframe>"
                           "<script>var d = document.getElementById('dw').contentDocument;"
                           "d.open(); d.write('<p>written'); d.close();</script></body>"},
         {"site/next.html", "<!DOCTYPE html><p>next</p>"}});
    AddTestSiteFile("site/pack.zip", "application/zip", "PK");
    WebKitWebView* view = Open("fvp://site/own.html");

    // The reader's click, a script's navigation and a new-window link act.
    ClickAt(view, 20, 20);
    ASSERT_TRUE(
        RunUntil([&] { return FMain.Called("HandleDownloableFiles fvp://site/tool.exe"); }));
    FMain.Calls.clear();
    EvalJs(view, "(location.href = 'tool.exe', 0)");
    ASSERT_TRUE(
        RunUntil([&] { return FMain.Called("HandleDownloableFiles fvp://site/tool.exe"); }));
    // The addresses of the new windows on screen.
    auto shown = [] {
        std::vector<std::string> uris;
        for (const auto& window : TBrowserForm::ApplicationWindows())
            if (window->Visible()) {
                const char* uri = webkit_web_view_get_uri(window->WebBrowser->WebView());
                uris.push_back(uri != nullptr ? uri : "");
            }
        std::sort(uris.begin(), uris.end());
        return uris;
    };
    // A new window whose address is saved or started instead closes.
    for (const char* link : {"z", "x"}) {
        SCOPED_TRACE(link);
        const std::size_t opened = TBrowserForm::ApplicationWindows().size();
        EvalJs(view, std::string("(document.getElementById('") + link + "').click(), 0)");
        ASSERT_TRUE(RunUntil([&] {
            return FMain.Called(*link == 'z' ? "HandleDownloableFiles fvp://site/pack.zip"
                                             : "HandleDownloableFiles fvp://site/tool.exe?blank");
        }));
        EXPECT_EQ(TBrowserForm::ApplicationWindows().size(), opened + 1);
        EXPECT_TRUE(RunUntil([&] { return shown().empty(); }));
    }

    // So do its own window.open, its document.open in the form that opens
    // a window, and the window.open of a frame it made.
    EvalJs(view, "(window.open('next.html'), document.open('own.html?doc', '', ''),"
                 " document.getElementById('blank').contentWindow.open('own.html?child'), 0)");
    ASSERT_TRUE(RunUntil([&] {
        return shown() == std::vector<std::string>{"fvp://site/next.html",
                                                   "fvp://site/own.html?child",
                                                   "fvp://site/own.html?doc"};
    }));
    // The functions that announce the opens read as the engine's own.
    EXPECT_EQ(EvalJs(view, "[String(window.open), String(document.open),"
                           " Function.prototype.toString.call(Function.prototype.toString),"
                           " 'prototype' in window.open].join(' ').replace(/\\s+/g, ' ')"),
              "\"function open() { [native code] } function open() { [native code] }"
              " function toString() { [native code] } false\"");

    // Frames the page makes itself share its host functions.
    ASSERT_TRUE(RunUntil([&] { return EvalJs(view, "document.readyState") == "\"complete\""; }));
    struct {
        const char* Frame;
        const char* Json;
    } frames[] = {{"blank", "1"}, {"sd", "1"}, {"dw", "1"}};
    for (const auto& f : frames)
        EXPECT_EQ(EvalJs(view, std::string("document.getElementById('") + f.Frame +
                                   "').contentWindow.external.appIsRuntime()"),
                  f.Json)
            << f.Frame;

    // Calls go on after the page replaced what a script-made bridge would
    // lean on, and reach the host from unload and pagehide handlers.
    EXPECT_EQ(EvalJs(view, "(prompt = null, Function.prototype.toString = null,"
                           " Object.defineProperty = null, Proxy = null, Reflect.apply = null,"
                           " JSON.stringify = JSON.stringify, window.external.SayHello('Di'))"),
              "\"Hello Di!\"");
    // A member read without a call runs as a property read; read and
    // called, it runs once.
    FMain.Calls.clear();
    EvalJs(view, "(window.external.appStopWav, 0)");
    EXPECT_EQ(FMain.Calls, std::vector<std::string>{"StopWavSound"});
    EvalJs(view, "(window.external.appStopWav(), 0)");
    EXPECT_EQ(FMain.Calls.size(), 2u);
    EXPECT_EQ(EvalJs(view, "window.external.appIsRuntime == 1 &&"
                           " String(window.external.appParamCount) =="
                           " window.external.appParamCount()"),
              "true");

    FMain.Calls.clear();
    EvalJs(view,
           "(addEventListener('pagehide', function () { window.external.appPlayWav('hide.wav') }),"
           " addEventListener('unload', function () { window.external.appPlayWav('gone.wav') }),"
           " location.href = 'next.html', 0)");
    ASSERT_TRUE(WaitLoaded(view, "fvp://site/next.html"));
    EXPECT_TRUE(FMain.Called("PlayWavSound hide.wav once"));
    EXPECT_TRUE(FMain.Called("PlayWavSound gone.wav once"));
}

TEST(TrustBoundaryRule, OnlyThePublicationsDocumentsAreCallers) {
    struct {
        const char* Frame;
        const char* Top;
        bool Caller;
    } cases[] = {
        {"fvp://site/a.html", "fvp://site/index.html", true},
        {"about:blank", "FVP://site/index.html", true},
        {"about:srcdoc", "fvp://site/index.html", true},
        {"http://127.0.0.1/a.html", "fvp://site/index.html", false},
        {"fvp://site/a.html", "http://127.0.0.1/", false},
        {"about:blank", "http://127.0.0.1/", false},
        {"data:text/html,x", "fvp://site/index.html", false},
        {"fvp://site/a.html", "", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BrowserControl::IsPublicationCaller(c.Frame, c.Top), c.Caller)
            << c.Frame << " in " << c.Top;
}

} // namespace

// The bridge's folders that no run uses any more go at start-up: the
// channel folder of a run that was killed, the module folder of another
// version nobody runs. Those of live runs, and what the runtime did not
// make, stay.
TEST(BridgeFolders, OnlyThoseNoRunUsesAreRemoved) {
    TempDir runtime, cache;
    auto folder = [](const std::filesystem::path& path, bool locked, int lockMode) {
        std::filesystem::create_directory(path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        // A channel folder holds the socket, a module folder the module.
        const bool channel = path.filename().string().rfind("folivant-", 0) == 0;
        WriteFileBytes(path / (channel ? "bridge" : "folivant-bridge.so"), "");
        WriteFileBytes(path / ".lock", "");
        TFd lock(::open((path / ".lock").c_str(), O_RDONLY | O_CLOEXEC));
        if (locked)
            ::flock(lock.Get(), lockMode);
        return lock;
    };
    const std::string hash(32, 'a'), other(32, 'b');
    // A process id no process has.
    const auto stale = runtime / "folivant-bridge-999999999-aB3dE5";
    const auto live = runtime / ("folivant-bridge-" + std::to_string(::getpid()) + "-xY7zW9");
    const auto oldModule = cache / ("bridge-" + hash);
    const auto usedModule = cache / ("bridge-" + other);
    TFd locks[] = {folder(stale, false, 0), folder(live, true, LOCK_EX),
                   folder(oldModule, false, 0), folder(usedModule, true, LOCK_SH)};
    // Nothing is followed out of a link named like a stale folder.
    const auto target = runtime / "elsewhere";
    TFd targetLock = folder(target, false, 0);
    const auto link = runtime / "folivant-bridge-999999998-linked";
    std::filesystem::create_directory_symlink(target, link);

    EXPECT_EQ(BrowserControl::RemoveUnusedBridgeFolders({runtime.Path()}, cache.Path()), 2);
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_FALSE(std::filesystem::exists(oldModule));
    for (const auto& kept : {live, usedModule, target})
        EXPECT_TRUE(std::filesystem::exists(kept / ".lock")) << kept;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
}
