// Browser windows on real WebKit views: the window.external bridge as pages
// see it, new windows, window.close(), the navigation check, keys, context
// menus, text selection and script errors.

#include "browsercontrol/WebTestSupport.h"
#include "platform/gtk/FormGeometry.h"
#include "platform/gtk/FormsGtk.h"
#include "platform/ui/SaveDialog.h"
#include "desktop/BrowserForm.h"
#include "shared/BrowserJs.h"
#include "shared/LinkActions.h"
#include "support/LinksSupport.h"
#include "support/LoopbackServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>

using namespace Folivant;
using namespace Folivant::Testing;
using Folivant::BrowserControl::TWebBrowserControl;
using Folivant::Shared::TBrowserForm;

namespace {

const char* const PlainPage = "<!DOCTYPE html><html><body><p id='t'>Some text to select in the "
                              "page</p><input id='i' value='typed'>"
                              "<script>window.keys=[];document.addEventListener('keydown',"
                              "function(e){keys.push((e.ctrlKey?'C':'')+(e.shiftKey?'S':'')+e.key)"
                              "});</script></body></html>";

class BrowserWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!EnsureGtk())
            GTEST_SKIP() << "no display";
        UseTestSite({{"index.html", PlainPage},
                     {"second.html", "<!DOCTYPE html><p>second</p>"},
                     {"frames.html", "<!DOCTYPE html><iframe id='f' src='data:text/html,"
                                     "<script>parent.postMessage(typeof window.external,"
                                     "\"*\")</script>'></iframe><script>window.msgs=[];"
                                     "addEventListener('message',function(e){msgs.push(e.data)})"
                                     "</script>"}});
        Shared::ActiveMainForm = &FMain;
    }
    void TearDown() override {
        FForm.reset();
        TBrowserForm::FreeApplicationWindows();
        Shared::ActiveMainForm = nullptr;
    }

    // A top-level browser window showing fvp://page.
    WebKitWebView* Open(const std::string& page) {
        FForm = std::make_unique<TBrowserForm>();
        FForm->SetBounds(10, 10, 500, 400);
        FForm->Show();
        FForm->WebBrowser->Navigate(Utf8ToString("fvp://" + page));
        WebKitWebView* view = FForm->WebBrowser->WebView();
        EXPECT_TRUE(WaitLoaded(view, "fvp://" + page));
        return view;
    }

    TRecordingMainForm FMain;
    std::unique_ptr<TBrowserForm> FForm;
};

TEST_F(BrowserWindowTest, HostFunctionsAnswerWithTheirScriptTypes) {
    WebKitWebView* view = Open("index.html");
    struct {
        const char* Script;
        const char* Json;
    } cases[] = {
        {"window.external.appIsRuntime()", "1"},
        {"typeof window.external.appIsRuntime()", "\"number\""},
        {"typeof window.external.appParamCount()", "\"string\""},
        {"window.external.SayHello('Ann')", "\"Hello Ann!\""},
        {"window.external.sayhello()", "\"Hello!\""},
        {"window.external.SAYHELLO('a', 'b')", "\"Hello!\""},
        {"window.external.SayHello(12.5)", "\"Hello 12.5!\""},
        {"window.external.SayHello(true)", "\"Hello true!\""},
        {"window.external.appParamStr(-1)", "\"\""},
        {"String(window.external.appParamStr(1000))", "\"undefined\""},
        {"window.external.appParamStr(65536) === window.external.appParamStr(0)", "true"},
        {"(function(){try{window.external.foo();return 'no error'}catch(e){return 'threw'}})()",
         "\"threw\""},
        {"(function(){try{window.external['appIsRuntime '];return 'found'}catch(e){return "
         "'threw'}})()",
         "\"threw\""},
        {"'appIsRuntime' in window.external", "true"},
        {"'nothing' in window.external", "false"},
        // Text ends at a null character; objects give their own text.
        {"window.external.SayHello('Ann\\0x')", "\"Hello Ann!\""},
        {"window.external['sayHello\\0more']('Bo')", "\"Hello Bo!\""},
        {"window.external.SayHello({})", "\"Hello [object Object]!\""},
        {"window.external.SayHello([1, 2])", "\"Hello 1,2!\""},
        {"window.external.SayHello({toString: function(){return 'Cy'}})", "\"Hello Cy!\""},
        {"window.external.SayHello(Object.create(null))", "\"Hello !\""},
        {"window.external.SayHello(null)", "\"Hello !\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EvalJs(view, c.Script), c.Json) << c.Script;

    std::string path = StringToUtf8(Shared::TBrowserJs::ProcessFileName());
    EXPECT_EQ(EvalJs(view, "window.external.appParamStr(0)"), "\"" + path + "\"");
    int count = Shared::TBrowserJs::ParamCount(Shared::TBrowserJs::ProcessCommandLine());
    EXPECT_EQ(EvalJs(view, "window.external.appParamCount()"), "\"" + std::to_string(count) + "\"");
    if (count >= 1) {
        EXPECT_NE(EvalJs(view, "String(window.external.appParamStr(1))"), "\"undefined\"");
    }
}

TEST_F(BrowserWindowTest, SoundAndFileFunctionsReachTheMainWindowWithTheirArguments) {
    WebKitWebView* view = Open("index.html");
    EvalJs(view, "(window.external.appPlayWav('once.wav'), 0)");
    EvalJs(view, "(window.external.appPlayWav('flag.wav', true), 0)");
    EvalJs(view, "(window.external.appPlayWav('one.wav', 1), 0)");
    EvalJs(view, "(window.external.appPlayWav('zero.wav', 0), 0)");
    EvalJs(view, "(window.external.appPlayWav('low.wav', 65536), 0)");
    EvalJs(view, "(window.external.appPlayWav(), window.external.appPlayWav('a','b','c'), 0)");
    EvalJs(view, "(window.external.APPSTOPWAV(), 0)");
    EvalJs(view, "(window.external.appOpenFile('doc/a b.pdf'), 0)");
    EvalJs(view, "(window.external.appOpenFile(), window.external.appOpenFile('x', 'y'), 0)");
    EvalJs(view, "(window.external.appOpenFile(42), 0)");
    std::vector<std::string> expected = {"PlayWavSound once.wav once", "PlayWavSound flag.wav loop",
                                         "PlayWavSound one.wav loop",  "PlayWavSound zero.wav once",
                                         "PlayWavSound low.wav once",  "StopWavSound",
                                         "OpenFile doc/a b.pdf",       "OpenFile 42"};
    std::vector<std::string> calls;
    for (const auto& c : FMain.Calls)
        if (c.rfind("HandleDownloableFiles", 0) != 0)
            calls.push_back(c);
    EXPECT_EQ(calls, expected);
}

TEST_F(BrowserWindowTest, AHostFailureIsThrownInTheScriptWithItsMessage) {
    WebKitWebView* view = Open("index.html");
    FMain.FailOpenFile = true;
    EXPECT_EQ(EvalJs(view, "(function(){try{window.external.appOpenFile('gone.txt');return 'ok'}"
                           "catch(e){return e.message}})()"),
              "\"File \\\"gone.txt\\\" do not exists.\"");
    EXPECT_EQ(EvalJs(view, "(function(){try{window.external.appOpenFile('gone.txt')}"
                           "catch(e){return e.description === e.message}})()"),
              "true");
}

TEST_F(BrowserWindowTest, ReplacedPromptAndJsonDoNotBreakTheBridge) {
    WebKitWebView* view = Open("index.html");
    EXPECT_EQ(EvalJs(view, "(window.prompt = function(){return 'X'}, JSON.parse = null,"
                           " String.prototype.slice = null, window.external.SayHello('Bo'))"),
              "\"Hello Bo!\"");
}

TEST_F(BrowserWindowTest, OnlyPublicationDocumentsGetHostFunctions) {
    WebKitWebView* view = Open("frames.html");
    ASSERT_TRUE(RunUntil([&] { return EvalJs(view, "msgs.length") == "1"; }));
    EXPECT_EQ(EvalJs(view, "msgs[0]"), "\"undefined\"");
    EXPECT_EQ(EvalJs(view, "typeof window.external"), "\"object\"");

    // A page from outside the publication, loaded into the same window.
    Testing::TempDir dir;
    WriteFileBytes(dir / "outside.html", "<!DOCTYPE html><p>outside</p>");
    std::string uri = "file://" + (dir / "outside.html").string();
    webkit_web_view_load_uri(view, uri.c_str());
    ASSERT_TRUE(WaitLoaded(view, uri));
    EXPECT_EQ(EvalJs(view, "typeof window.external"), "\"undefined\"");
    // The frame's navigation was checked too; nothing else reached the host.
    std::vector<std::string> expected = {"HandleDownloableFiles fvp://frames.html"};
    ASSERT_GE(FMain.Calls.size(), 3u);
    EXPECT_EQ(FMain.Calls[0], expected[0]);
    EXPECT_EQ(FMain.Calls[1].rfind("HandleDownloableFiles data:text/html,", 0), 0u);
    EXPECT_EQ(FMain.Calls[2], "HandleDownloableFiles " + uri);
    EXPECT_EQ(FMain.Calls.size(), 3u);
}

TEST_F(BrowserWindowTest, NewWindowsOpenOverTheMainWindowAndCloseByScript) {
    WebKitWebView* view = Open("index.html");
    EvalJs(view, "(window.open('fvp://second.html'), 0)");
    ASSERT_TRUE(RunUntil([] { return TBrowserForm::ApplicationWindows().size() == 1; }));
    TBrowserForm* second = TBrowserForm::ApplicationWindows()[0].get();
    WebKitWebView* secondView = second->WebBrowser->WebView();
    ASSERT_TRUE(WaitLoaded(secondView, "fvp://second.html"));
    EXPECT_TRUE(FMain.Called("HandleDownloableFiles fvp://second.html"));
    EXPECT_EQ(StringToUtf8(second->Caption()), "Test publication");
    RunUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(NativeWindow(*second->Window()))); });
    RunFor(200);
    Platform::TOuterBounds b = second->Window()->Bounds();
    EXPECT_EQ(b.Left, FMain.FormLeft + 15);
    EXPECT_EQ(b.Top, FMain.FormTop + 15);
    EXPECT_EQ(b.Width, FMain.FormWidth);
    EXPECT_EQ(b.Height, FMain.FormHeight);
    EXPECT_EQ(EvalJs(secondView, "window.external.appIsRuntime()"), "1");

    // A new window opened from the new window sits exactly over it.
    EvalJs(secondView, "(window.open('fvp://index.html'), 0)");
    ASSERT_TRUE(RunUntil([] { return TBrowserForm::ApplicationWindows().size() == 2; }));
    TBrowserForm* third = TBrowserForm::ApplicationWindows()[1].get();
    RunUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(NativeWindow(*third->Window()))); });
    RunFor(200);
    Platform::TOuterBounds c = third->Window()->Bounds();
    EXPECT_EQ(c.Left, b.Left);
    EXPECT_EQ(c.Top, b.Top);

    // window.close() in a new window hides only that window.
    EvalJs(secondView, "(setTimeout(function(){window.close()}, 0), 0)");
    ASSERT_TRUE(RunUntil([&] { return !second->Visible(); }));
    EXPECT_FALSE(second->BridgeAvailable());
    EXPECT_EQ(FMain.CloseCount, 0);
    EXPECT_TRUE(third->Visible());
}

// A page that starts a sound as it loads, with no user gesture; its
// outcome lands in window.sound.
const char* const SoundPage =
    "<!DOCTYPE html><script>window.sound='pending';"
    "const n=8820,b=new Uint8Array(44+n*2),d=new DataView(b.buffer);"
    "const s=(o,t)=>{for(let i=0;i<t.length;i++)b[o+i]=t.charCodeAt(i)};"
    "s(0,'RIFF');d.setUint32(4,36+n*2,true);s(8,'WAVEfmt ');d.setUint32(16,16,true);"
    "d.setUint16(20,1,true);d.setUint16(22,1,true);d.setUint32(24,44100,true);"
    "d.setUint32(28,88200,true);d.setUint16(32,2,true);d.setUint16(34,16,true);s(36,'data');"
    "d.setUint32(40,n*2,true);for(let i=0;i<n;i++)d.setInt16(44+i*2,Math.sin(i/8)*8000,true);"
    "const a=new Audio(URL.createObjectURL(new Blob([b],{type:'audio/wav'})));"
    "a.play().then(()=>{window.sound='playing'},(e)=>{window.sound=e.name});</script>";

TEST_F(BrowserWindowTest, PagesStartSoundWithoutAGesture) {
    AddTestSiteFile("sound.html", "text/html", SoundPage);
    WebKitWebView* view = Open("sound.html");
    std::string sound;
    RunUntil([&] { return (sound = EvalJs(view, "window.sound")) != "\"pending\""; });
    EXPECT_EQ(sound, "\"playing\"");
    // A window the page opens shares the opener's policies.
    EvalJs(view, "(window.open('fvp://sound.html'), 0)");
    ASSERT_TRUE(RunUntil([] { return TBrowserForm::ApplicationWindows().size() == 1; }));
    WebKitWebView* second = TBrowserForm::ApplicationWindows()[0]->WebBrowser->WebView();
    ASSERT_TRUE(WaitLoaded(second, "fvp://sound.html"));
    RunUntil([&] { return (sound = EvalJs(second, "window.sound")) != "\"pending\""; });
    EXPECT_EQ(sound, "\"playing\"");
}

TEST_F(BrowserWindowTest, AClosedNewWindowsPageStops) {
    // A looping sound, and a timer that opens a window and shows an alert
    // once the test arms it.
    std::string page = SoundPage;
    page.replace(page.find("a.play()"), 8, "a.loop=true;a.play()");
    page += "<script>window.armAt=Infinity;setInterval(function(){if(Date.now()>armAt){"
            "window.open('fvp://second.html');alert('still here')}},20)</script>";
    AddTestSiteFile("looping.html", "text/html", page);
    UseTestSite({{"clock.html", "<!DOCTYPE html><p>clock</p>"}});
    WebKitWebView* view = Open("clock.html");
    EvalJs(view, "(window.open('fvp://looping.html'), 0)");
    ASSERT_TRUE(RunUntil([] { return TBrowserForm::ApplicationWindows().size() == 1; }));
    TBrowserForm* second = TBrowserForm::ApplicationWindows()[0].get();
    WebKitWebView* secondView = second->WebBrowser->WebView();
    ASSERT_TRUE(WaitLoaded(secondView, "fvp://looping.html"));
    ASSERT_TRUE(RunUntil([&] { return webkit_web_view_is_playing_audio(secondView); }));
    int dialogs = 0;
    g_signal_connect(secondView, "script-dialog",
                     G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog*, gpointer count) {
                         ++*static_cast<int*>(count);
                         return FALSE;
                     }),
                     &dialogs);

    // The host sound goes with the window whose page started it last.
    EvalJs(view, "(window.external.appPlayWav('clock.wav', true), 0)");
    EvalJs(secondView, "(window.external.appPlayWav('loop.wav', true), 0)");
    const auto stops = [this] {
        return std::count(FMain.Calls.begin(), FMain.Calls.end(), "StopWavSound");
    };
    ASSERT_EQ(stops(), 0);

    // The reader closes the window just before the timer would act.
    const std::string armAt = EvalJs(secondView, "armAt = Date.now() + 150");
    gtk_window_close(NativeWindow(*second->Window()));
    ASSERT_TRUE(RunUntil([&] { return !second->Visible(); }));
    EXPECT_TRUE(RunUntil([&] { return !webkit_web_view_is_playing_audio(secondView); }));
    // Half a second after the timer's time, by the page clock of the window
    // that stays open, nothing has come from the closed one.
    ASSERT_TRUE(RunUntil([&] {
        return std::atof(EvalJs(view, "Date.now()").c_str()) > std::atof(armAt.c_str()) + 500;
    }));
    EXPECT_EQ(TBrowserForm::ApplicationWindows().size(), 1u);
    EXPECT_EQ(dialogs, 0);
    EXPECT_FALSE(webkit_web_view_is_playing_audio(secondView));
    EXPECT_EQ(stops(), 1);
    g_signal_handlers_disconnect_by_data(secondView, &dialogs);
}

TEST_F(BrowserWindowTest, BlankTargetLinksOpenNewWindows) {
    UseTestSite({{"links.html", "<!DOCTYPE html><a id='a' target='_blank' "
                                "href='fvp://second.html'>open</a>"}});
    WebKitWebView* view = Open("links.html");
    EvalJs(view, "(document.getElementById('a').click(), 0)");
    ASSERT_TRUE(RunUntil([] { return TBrowserForm::ApplicationWindows().size() == 1; }));
    EXPECT_TRUE(WaitLoaded(TBrowserForm::ApplicationWindows()[0]->WebBrowser->WebView(),
                           "fvp://second.html"));
}

TEST_F(BrowserWindowTest, TheFirstWindowClosesItsParentAfterTheNotification) {
    Platform::TForm host;
    host.MakeControlHost();
    FForm = std::make_unique<TBrowserForm>();
    FForm->SetParent(FMain, host);
    host.Show();
    FForm->Show();
    FForm->WebBrowser->Navigate(u"fvp://index.html");
    WebKitWebView* view = FForm->WebBrowser->WebView();
    ASSERT_TRUE(WaitLoaded(view, "fvp://index.html"));
    // The main window is closed only once the notification has returned.
    int closesDuringNotification = -1;
    TBrowserForm* form = FForm.get();
    FForm->WebBrowser->OnWindowClosing = [&](TWebBrowserControl* sender, Shared::VARIANT_BOOL child,
                                             Shared::VARIANT_BOOL& cancel) {
        form->WebBrowserWindowClosing(sender, child, cancel);
        EXPECT_EQ(cancel, Shared::VARIANT_TRUE);
        closesDuringNotification = FMain.CloseCount;
    };
    EXPECT_EQ(EvalJs(view, "(window.close(), 'after')"), "\"after\"");
    EXPECT_EQ(closesDuringNotification, 0);
    ASSERT_TRUE(RunUntil([&] { return FMain.CloseCount == 1; }));
    EXPECT_TRUE(FForm->BridgeAvailable());
    FForm.reset();
}

TEST_F(BrowserWindowTest, LinksToConfiguredKindsAreCheckedInEveryWindow) {
    UseTestSite({{"dl.html", "<!DOCTYPE html><a id='z' href='fvp://files/pack.zip'>zip</a>"
                             "<a id='n' target='_blank' href='fvp://dl.html'>new</a>"}});
    AddTestSiteFile("files/pack.zip", "application/zip", "PK");
    FMain.DownloadKinds = {".zip"};
    WebKitWebView* view = Open("dl.html");
    EvalJs(view, "(document.getElementById('z').click(), 0)");
    ASSERT_TRUE(
        RunUntil([&] { return FMain.Called("HandleDownloableFiles fvp://files/pack.zip"); }));
    RunFor(300);
    EXPECT_STREQ(webkit_web_view_get_uri(view), "fvp://dl.html");

    EvalJs(view, "(document.getElementById('n').click(), 0)");
    ASSERT_TRUE(RunUntil([] { return TBrowserForm::ApplicationWindows().size() == 1; }));
    WebKitWebView* other = TBrowserForm::ApplicationWindows()[0]->WebBrowser->WebView();
    ASSERT_TRUE(WaitLoaded(other, "fvp://dl.html"));
    FMain.Calls.clear();
    EvalJs(other, "(document.getElementById('z').click(), 0)");
    ASSERT_TRUE(
        RunUntil([&] { return FMain.Called("HandleDownloableFiles fvp://files/pack.zip"); }));
    RunFor(300);
    EXPECT_STREQ(webkit_web_view_get_uri(other), "fvp://dl.html");
}

// Sends a key press to the view as the display would.
void PressKey(WebKitWebView* view, guint keyval, GdkModifierType state) {
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(view));
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(window));
    event->key.send_event = FALSE;
    event->key.time = static_cast<guint32>(g_get_monotonic_time() / 1000);
    event->key.state = state;
    event->key.keyval = keyval;
    GdkKeymapKey* keys = nullptr;
    gint n = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gdk_display_get_default()),
                                          gdk_keyval_to_lower(keyval), &keys, &n) &&
        n > 0) {
        event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
        g_free(keys);
    }
    GdkSeat* seat = gdk_display_get_default_seat(gdk_display_get_default());
    gdk_event_set_device(event, gdk_seat_get_keyboard(seat));
    gtk_main_do_event(event);
    GdkEvent* release = gdk_event_copy(event);
    release->type = GDK_KEY_RELEASE;
    gtk_main_do_event(release);
    gdk_event_free(release);
    gdk_event_free(event);
}

TEST_F(BrowserWindowTest, CtrlShortcutsListedAreSwallowedOthersReachThePage) {
    WebKitWebView* view = Open("index.html");
    gtk_widget_grab_focus(GTK_WIDGET(view));
    RunFor(100);
    PressKey(view, GDK_KEY_y, GDK_CONTROL_MASK);
    PressKey(view, GDK_KEY_Y, static_cast<GdkModifierType>(GDK_CONTROL_MASK | GDK_SHIFT_MASK));
    PressKey(view, GDK_KEY_b, GDK_CONTROL_MASK);
    PressKey(view, GDK_KEY_Return, static_cast<GdkModifierType>(0));
    ASSERT_TRUE(RunUntil([&] { return EvalJs(view, "keys.length") == "3"; }, 5000))
        << EvalJs(view, "keys");
    EXPECT_EQ(EvalJs(view, "keys"), "[\"CSY\",\"Cb\",\"Enter\"]");
}

TEST_F(BrowserWindowTest, EnterReachesThePageEvenWhenTheKeyHandlerTakesIt) {
    WebKitWebView* view = Open("index.html");
    int seen = 0;
    FForm->WebBrowser->OnKeyDown = [&](TWebBrowserControl*, std::uint16_t& key, std::uint16_t,
                                       unsigned) {
        ++seen;
        key = 0;
    };
    gtk_widget_grab_focus(GTK_WIDGET(view));
    PressKey(view, GDK_KEY_a, static_cast<GdkModifierType>(0));
    PressKey(view, GDK_KEY_Return, static_cast<GdkModifierType>(0));
    ASSERT_TRUE(RunUntil([&] { return EvalJs(view, "keys.length") == "1"; }, 5000));
    RunFor(200);
    EXPECT_EQ(EvalJs(view, "keys"), "[\"Enter\"]");
    // Each key press reaches the handler once, although unconsumed keys
    // come back from the page.
    EXPECT_EQ(seen, 2);
}

bool AnyPopupMenuShown() {
    bool shown = false;
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l != nullptr; l = l->next)
        if (gtk_widget_get_mapped(GTK_WIDGET(l->data)) &&
            gtk_window_get_window_type(GTK_WINDOW(l->data)) == GTK_WINDOW_POPUP &&
            GTK_IS_MENU(gtk_bin_get_child(GTK_BIN(l->data))))
            shown = true;
    g_list_free(windows);
    return shown;
}

void RightClick(WebKitWebView* view, double x, double y) {
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(view));
    GdkSeat* seat = gdk_display_get_default_seat(gdk_display_get_default());
    for (GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
        GdkEvent* event = gdk_event_new(type);
        event->button.window = GDK_WINDOW(g_object_ref(window));
        event->button.time = static_cast<guint32>(g_get_monotonic_time() / 1000);
        event->button.x = x;
        event->button.y = y;
        event->button.button = 3;
        gdk_event_set_device(event, gdk_seat_get_pointer(seat));
        gtk_main_do_event(event);
        gdk_event_free(event);
    }
}

TEST_F(BrowserWindowTest, NoContextMenuIsShown) {
    WebKitWebView* view = Open("index.html");
    RightClick(view, 20, 20);
    RunFor(1000);
    EXPECT_FALSE(AnyPopupMenuShown());
    // The same click shows the engine's menu when menus are allowed, so the
    // check above can see one.
    FForm->WebBrowser->DisabledPopupMenus = 0;
    RightClick(view, 20, 20);
    EXPECT_TRUE(RunUntil(AnyPopupMenuShown, 5000));
}

TEST_F(BrowserWindowTest, TextCannotBeSelectedButInputsStayEditable) {
    WebKitWebView* view = Open("index.html");
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(view));
    // The page counts the pointer events it receives, so that each event is
    // sent once the page has handled the one before (the engine merges
    // pending moves) and the selection is read once the release arrived.
    auto drag = [&]() {
        ASSERT_EQ(EvalJs(view, "(window.pointer={mousedown:0,mousemove:0,mouseup:0},"
                               "['mousedown','mousemove','mouseup'].forEach(function(n){"
                               "addEventListener(n,function(){pointer[n]++},true)}),0)"),
                  "0");
        GdkSeat* seat = gdk_display_get_default_seat(gdk_display_get_default());
        GdkDevice* pointer = gdk_seat_get_pointer(seat);
        auto send = [&](GdkEventType type, double x, unsigned state) {
            const char* name = type == GDK_BUTTON_PRESS    ? "mousedown"
                               : type == GDK_MOTION_NOTIFY ? "mousemove"
                                                           : "mouseup";
            const std::string count = std::string("pointer.") + name;
            const std::string before = EvalJs(view, count);
            GdkEvent* e = gdk_event_new(type);
            if (type == GDK_MOTION_NOTIFY) {
                e->motion.window = GDK_WINDOW(g_object_ref(window));
                e->motion.x = x;
                e->motion.y = 20;
                e->motion.state = state;
                e->motion.time = static_cast<guint32>(g_get_monotonic_time() / 1000);
            } else {
                e->button.window = GDK_WINDOW(g_object_ref(window));
                e->button.x = x;
                e->button.y = 20;
                e->button.button = 1;
                e->button.state = state;
                e->button.time = static_cast<guint32>(g_get_monotonic_time() / 1000);
            }
            gdk_event_set_device(e, pointer);
            gtk_main_do_event(e);
            gdk_event_free(e);
            ASSERT_TRUE(RunUntil([&] { return EvalJs(view, count) != before; })) << name;
        };
        send(GDK_BUTTON_PRESS, 12, 0);
        for (double x = 20; x < 300; x += 40)
            send(GDK_MOTION_NOTIFY, x, GDK_BUTTON1_MASK);
        send(GDK_BUTTON_RELEASE, 300, GDK_BUTTON1_MASK);
    };
    drag();
    EXPECT_EQ(EvalJs(view, "window.getSelection().toString()"), "\"\"");
    EXPECT_EQ(EvalJs(view, "(function(){var i=document.getElementById('i');i.focus();"
                           "i.select();return i.selectionEnd - i.selectionStart})()"),
              "5");

    // Without the dialog flag the same drag selects text.
    FForm->WebBrowser->SetUserInterfaceOptions(0);
    FForm->WebBrowser->Navigate(u"fvp://index.html?again");
    ASSERT_TRUE(WaitLoaded(view, "fvp://index.html?again"));
    drag();
    EXPECT_NE(EvalJs(view, "window.getSelection().toString()"), "\"\"");
}

// Answers the first script-error dialog that appears with the given button;
// the answer is pending until the returned source is removed.
guint AnswerDialogWhenShown(int response, bool* seen) {
    return g_timeout_add(
        50,
        [](gpointer data) -> gboolean {
            auto* state = static_cast<std::pair<int, bool*>*>(data);
            GList* windows = gtk_window_list_toplevels();
            bool answered = false;
            for (GList* l = windows; l != nullptr; l = l->next)
                if (GTK_IS_MESSAGE_DIALOG(l->data) && gtk_widget_get_mapped(GTK_WIDGET(l->data))) {
                    *state->second = true;
                    gtk_dialog_response(GTK_DIALOG(l->data), state->first);
                    answered = true;
                    break;
                }
            g_list_free(windows);
            if (answered)
                delete state;
            return answered ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
        },
        new std::pair<int, bool*>(response, seen));
}

TEST_F(BrowserWindowTest, ScriptErrorsFollowTheWindowsPolicy) {
    UseTestSite({{"err.html", "<!DOCTYPE html><script>window.later=0;"
                              "setTimeout(function(){undefinedFunction()},10);"
                              "setTimeout(function(){window.external.appOpenFile('later')},400);"
                              "</script>"},
                 {"next.html", "<!DOCTYPE html><script>window.external.appOpenFile('next')"
                               "</script>"},
                 {"handled.html", "<!DOCTYPE html><script>window.onerror=function(){return true};"
                                  "setTimeout(function(){undefinedFunction()},10);"
                                  "setTimeout(function(){window.external.appOpenFile('handled')},"
                                  "300)</script>"}});
    // Hidden errors: no dialog, later scripts run.
    FMain.HideJavaScriptError = true;
    Open("err.html");
    EXPECT_EQ(FForm->WebBrowser->ScriptErrorAction, BrowserControl::eaContinue);
    ASSERT_TRUE(RunUntil([&] { return FMain.Called("OpenFile later"); }));

    // Reported errors: the user is asked; "No" stops the page's scripts.
    FMain.HideJavaScriptError = false;
    FForm.reset();
    bool seen = false;
    AnswerDialogWhenShown(GTK_RESPONSE_NO, &seen);
    Open("err.html");
    EXPECT_EQ(FForm->WebBrowser->ScriptErrorAction, BrowserControl::eaAskUser);
    ASSERT_TRUE(RunUntil([&] { return seen; }));
    FMain.Calls.clear();
    RunFor(1000);
    EXPECT_FALSE(FMain.Called("OpenFile later"));

    // The next page runs its scripts, the host functions included, from its
    // first line on.
    FForm->WebBrowser->Navigate(u"fvp://next.html");
    ASSERT_TRUE(RunUntil([&] { return FMain.Called("OpenFile next"); }));

    // An error the page handles itself asks nothing.
    bool asked = false;
    guint answer = AnswerDialogWhenShown(GTK_RESPONSE_YES, &asked);
    FForm->WebBrowser->Navigate(u"fvp://handled.html");
    ASSERT_TRUE(RunUntil([&] { return FMain.Called("OpenFile handled"); }));
    EXPECT_FALSE(asked);
    if (!asked)
        g_source_remove(answer);
}

TEST_F(BrowserWindowTest, StoppingScriptsInOneWindowLeavesTheOthersRunning) {
    UseTestSite({{"opener.html", "<!DOCTYPE html><script>window.ticks=0;"
                                 "setInterval(function(){window.ticks++},20)</script>"},
                 {"failing.html", "<!DOCTYPE html><script>"
                                  "setTimeout(function(){undefinedFunction()},10)</script>"}});
    WebKitWebView* view = Open("opener.html");
    bool seen = false;
    AnswerDialogWhenShown(GTK_RESPONSE_NO, &seen);
    EvalJs(view, "(window.open('fvp://failing.html'), 0)");
    ASSERT_TRUE(RunUntil([&] { return seen; }));
    const std::string before = EvalJs(view, "window.ticks");
    RunFor(300);
    EXPECT_NE(EvalJs(view, "window.ticks"), before) << "the opener's scripts stopped too";
}

TEST_F(BrowserWindowTest, WhatThePageCannotShowIsOfferedForSaving) {
    const std::string bytes("PK\3\4 report\0bytes", 17);
    const char* const docx =
        "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
    AddTestSiteFile("data/report.docx", docx, bytes);
    WebKitWebView* view = Open("index.html");

    // A publication file goes to the main window, which saves it from the
    // archive; the page stays.
    FForm->WebBrowser->Navigate(u"fvp://data/report.docx");
    ASSERT_TRUE(RunUntil([&] { return FMain.Called("DownloadFile fvp://data/report.docx"); }));
    RunFor(200);
    EXPECT_STREQ(webkit_web_view_get_uri(view), "fvp://index.html");

    // A new window opened for it is saved from, and closes.
    FMain.Calls.clear();
    EvalJs(view, "(window.open('fvp://data/report.docx'), 0)");
    ASSERT_TRUE(RunUntil([&] { return FMain.Called("DownloadFile fvp://data/report.docx"); }));
    ASSERT_EQ(TBrowserForm::ApplicationWindows().size(), 1u);
    EXPECT_TRUE(RunUntil([] { return !TBrowserForm::ApplicationWindows()[0]->Visible(); }));
}

// A one-file site on the loopback address. Under /attach/ it sends the file
// as an attachment, under /page/ as an HTML page; anywhere else as a
// document of a type the engine cannot show.
TLoopbackServer::THandler OneFileSite(std::string bytes) {
    return [bytes = std::move(bytes)](const std::string& path) -> THttpReply {
        const bool attachment = path.rfind("/attach/", 0) == 0;
        const bool page = path.rfind("/page/", 0) == 0;
        return {"200 OK",
                attachment ? "Content-Type: application/octet-stream\r\n"
                             "Content-Disposition: attachment; filename=\"remote.bin\"\r\n"
                : page     ? "Content-Type: text/html\r\n"
                           : "Content-Type: application/vnd.oasis.opendocument.text\r\n",
                bytes};
    };
}

// Answers the next save dialog: saves as path, or cancels when path is
// empty. Records the name the dialog proposed. The answer is given again
// while that dialog stays open, and after ten seconds the dialog is
// cancelled, so that a lost answer fails the test instead of hanging it.
struct TDownloadAnswer {
    std::string Path;
    std::string Proposed;
    bool Seen = false;
    GtkWidget* Chooser = nullptr;
    int Ticks = 0;
    guint Source = 0;
    TDownloadAnswer() = default;
    TDownloadAnswer(const TDownloadAnswer&) = delete;
    ~TDownloadAnswer() {
        if (Source != 0)
            g_source_remove(Source);
    }
};

void AnswerSaveDialog(TDownloadAnswer* answer) {
    answer->Source = g_timeout_add(
        50,
        [](gpointer data) -> gboolean {
            auto* a = static_cast<TDownloadAnswer*>(data);
            GtkWidget* chooser = nullptr;
            GList* windows = gtk_window_list_toplevels();
            for (GList* l = windows; l != nullptr; l = l->next)
                if (GTK_IS_FILE_CHOOSER_DIALOG(l->data) &&
                    gtk_widget_get_mapped(GTK_WIDGET(l->data)))
                    chooser = GTK_WIDGET(l->data);
            g_list_free(windows);
            if (chooser == nullptr || (a->Chooser != nullptr && chooser != a->Chooser)) {
                if (a->Chooser == nullptr)
                    return G_SOURCE_CONTINUE;
                a->Source = 0; // answered, and closed
                return G_SOURCE_REMOVE;
            }
            if (a->Chooser == nullptr) {
                a->Chooser = chooser;
                a->Seen = true;
                gchar* name = gtk_file_chooser_get_current_name(GTK_FILE_CHOOSER(chooser));
                a->Proposed = name != nullptr ? name : "";
                g_free(name);
                // A full path typed as the name saves there.
                if (!a->Path.empty())
                    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), a->Path.c_str());
            } else if (++a->Ticks % 20 != 0) {
                return G_SOURCE_CONTINUE;
            }
            const bool giveUp = a->Ticks >= 200;
            gtk_dialog_response(GTK_DIALOG(chooser), a->Path.empty() || giveUp
                                                         ? GTK_RESPONSE_CANCEL
                                                         : GTK_RESPONSE_ACCEPT);
            if (!giveUp)
                return G_SOURCE_CONTINUE;
            a->Source = 0;
            return G_SOURCE_REMOVE;
        },
        answer);
}

TEST_F(BrowserWindowTest, DownloadsOfTheEngineGoWhereTheReaderChooses) {
    const std::string bytes("remote\0bytes", 12);
    TLoopbackServer server(OneFileSite(bytes));
    Open("index.html");
    TempDir dir;

    // An attachment, and a document the view cannot show, are both saved
    // where the reader chooses, under the name the server suggests.
    for (const auto& [path, suggested] :
         {std::pair<std::string, std::string>{"/attach/x", "remote.bin"},
          {"/files/report.odt", "report.odt"}}) {
        TDownloadAnswer saved;
        saved.Path = (dir / ("mine-" + suggested)).string();
        AnswerSaveDialog(&saved);
        FForm->WebBrowser->Navigate(Utf8ToString(server.Url(path)));
        ASSERT_TRUE(RunUntil([&] {
            return saved.Seen && std::filesystem::exists(saved.Path) &&
                   ReadFileBytes(saved.Path) == bytes;
        })) << path;
        EXPECT_EQ(saved.Proposed, suggested);
    }

    // Cancelling writes nothing.
    TDownloadAnswer cancelled;
    AnswerSaveDialog(&cancelled);
    FForm->WebBrowser->Navigate(Utf8ToString(server.Url("/files/again.odt")));
    ASSERT_TRUE(RunUntil([&] { return cancelled.Seen; }));
    RunFor(500);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"mine-remote.bin", "mine-report.odt"}));
}

// The link actions on a real archive and the real save dialog; the shell,
// messages, sound and temporary files only record.
struct TLinkDesktop : Shared::ISaveDialog,
                      Shared::IMessageBox,
                      Shared::IShell,
                      Shared::ISoundPlayer,
                      Shared::ITemporalFileRegistry {
    Platform::TSaveDialog Dialog;
    std::vector<std::string> Opened, Messages;
    void SetDefaultExt(const String& ext) override { Dialog.DefaultExt = ext; }
    void SetFilter(const String& filter) override { Dialog.Filter = filter; }
    void SetFileName(const String& fileName) override { Dialog.FileName = fileName; }
    bool Execute() override { return Dialog.Execute(); }
    String FileName() const override { return Dialog.FileName; }
    void ShowMessage(const String& text) override { Messages.push_back(StringToUtf8(text)); }
    bool ShellOpen(const String& path, const String&) override {
        Opened.push_back(StringToUtf8(path));
        return true;
    }
    String GetTemporalDir() override { return u"/nonexistent/"; }
    bool PlaySoundFromStream(TCustomMemoryStream&, bool) override { return false; }
    void Add(const String&) override {}
};

struct TLinkActionsMainForm : TRecordingMainForm {
    Shared::TLinkActions* Actions = nullptr;
    bool HandleDownloableFiles(const String& url) override {
        TRecordingMainForm::HandleDownloableFiles(url);
        return Actions->HandleDownloableFiles(url);
    }
};

TEST_F(BrowserWindowTest, LinksSaveEntriesWhateverTheirNames) {
    TMemoryStream archive;
    const std::string bytes = MakeArchive({{"site/dl/My Report.zip", "spaced"},
                                           {"site/dl/r\xc3\xa9sum\xc3\xa9.zip", "accented"},
                                           {"site/dl/a+b.zip", "plus"}});
    archive.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    archive.SetPosition(0);
    Archive::TZipReader zip;
    zip.Password = Archive::ArchivePassword;
    zip.SetStream(&archive);
    TLinkDesktop desktop;
    Shared::TLinkActions actions(zip, {u"site", u"zip", u"", u"/nonexistent/"},
                                 {desktop, desktop, desktop, desktop, desktop});
    TLinkActionsMainForm main;
    main.Actions = &actions;
    Shared::ActiveMainForm = &main;
    // The window and its main form go before the link actions do, also when
    // an assertion ends the test early: a navigation the closing window
    // still decides must not reach a destroyed main form.
    struct TAtExit {
        std::function<void()> Run;
        ~TAtExit() { Run(); }
    } restore{[this] {
        FForm.reset();
        Shared::ActiveMainForm = &FMain;
    }};
    UseTestSite({{"site/links.html", "<!DOCTYPE html><meta charset='utf-8'>"
                                     "<a id='a' href='dl/My Report.zip'>1</a>"
                                     "<a id='b' href='dl/r\xc3\xa9sum\xc3\xa9.zip'>2</a>"
                                     "<a id='c' href='dl/a+b.zip'>3</a>"}});
    WebKitWebView* view = Open("site/links.html");
    TempDir dir;
    for (const auto& [id, saved] :
         {std::pair<std::string, std::string>{"a", "spaced"}, {"b", "accented"}, {"c", "plus"}}) {
        TDownloadAnswer answer;
        answer.Path = (dir / (id + ".zip")).string();
        AnswerSaveDialog(&answer);
        EvalJs(view, "(document.getElementById('" + id + "').click(), 0)");
        ASSERT_TRUE(RunUntil([&] {
            return answer.Seen && std::filesystem::exists(answer.Path) &&
                   ReadFileBytes(answer.Path) == saved;
        })) << id;
    }
    EXPECT_EQ(desktop.Opened.size(), 3u);
    EXPECT_STREQ(webkit_web_view_get_uri(view), "fvp://site/links.html");
}

void PressMouseButton(WebKitWebView* view, guint button) {
    GdkEvent* event = gdk_event_new(GDK_BUTTON_PRESS);
    event->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(view))));
    event->button.time = static_cast<guint32>(g_get_monotonic_time() / 1000);
    event->button.x = event->button.y = 20;
    event->button.button = button;
    gdk_event_set_device(
        event, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_main_do_event(event);
    gdk_event_free(event);
}

TEST_F(BrowserWindowTest, NavigationKeysAndMouseButtonsLeadBackToThePublication) {
    // The remote page keeps Backspace and Alt+Left to itself while it says
    // so; its own timer after each key runs once the host has had its word.
    TLoopbackServer server(
        OneFileSite("<!DOCTYPE html><p>remote</p><script>window.keep=false;"
                    "window.done=0;addEventListener('keydown',function(e){"
                    "if(keep&&(e.key=='Backspace'||e.key=='ArrowLeft'))"
                    "e.preventDefault();setTimeout(function(){done++},0)})</script>"));
    const std::string remote = server.Url("/page/x.html");
    WebKitWebView* view = Open("index.html");
    // The engine's own keys are reported by the page's side through the
    // view's script dialogs.
    int reports = 0;
    const gulong hook = g_signal_add_emission_hook(
        g_signal_lookup("script-dialog", WEBKIT_TYPE_WEB_VIEW), 0,
        [](GSignalInvocationHint*, guint, const GValue*, gpointer count) -> gboolean {
            ++*static_cast<int*>(count);
            return TRUE;
        },
        &reports, nullptr);
    gtk_widget_grab_focus(GTK_WIDGET(view));
    auto follow = [&] {
        EvalJs(view, "(location.href='" + remote + "', 0)");
        ASSERT_TRUE(WaitLoaded(view, remote));
    };
    const struct {
        guint Keyval;
        GdkModifierType State;
    } backKeys[] = {{GDK_KEY_Left, GDK_MOD1_MASK}, {GDK_KEY_BackSpace, GdkModifierType(0)}};
    for (const auto& key : backKeys) {
        follow();
        PressKey(view, key.Keyval, key.State);
        ASSERT_TRUE(WaitLoaded(view, "fvp://index.html")) << key.Keyval;
    }
    PressKey(view, GDK_KEY_Right, GDK_MOD1_MASK);
    ASSERT_TRUE(WaitLoaded(view, remote));
    PressMouseButton(view, 8);
    ASSERT_TRUE(WaitLoaded(view, "fvp://index.html"));
    PressMouseButton(view, 9);
    ASSERT_TRUE(WaitLoaded(view, remote));

    // Kept by the page: nothing happens once the keys have been through
    // the page and the host (a navigation asked for would show in the view's
    // address at once).
    EvalJs(view, "(keep = true, done = 0)");
    const int before = reports;
    PressKey(view, GDK_KEY_BackSpace, GdkModifierType(0));
    PressKey(view, GDK_KEY_Left, GDK_MOD1_MASK);
    ASSERT_TRUE(RunUntil([&] { return EvalJs(view, "done") == "2"; }));
    EXPECT_EQ(reports, before) << "a kept key was reported to the host";
    bool idle = false;
    g_idle_add(
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &idle);
    ASSERT_TRUE(RunUntil([&] { return idle; }));
    EXPECT_EQ(webkit_web_view_get_uri(view), remote);
    EXPECT_FALSE(webkit_web_view_is_loading(view));
    EXPECT_GT(before, 0) << "the reports were not seen";
    g_signal_remove_emission_hook(g_signal_lookup("script-dialog", WEBKIT_TYPE_WEB_VIEW), hook);
}

bool IsPrintDialog(GtkWindow* w) {
    return g_strcmp0(G_OBJECT_TYPE_NAME(w), "GtkPrintUnixDialog") == 0;
}

// The first mapped top-level window that satisfies pick, or nullptr.
GtkWindow* FindShownWindow(const std::function<bool(GtkWindow*)>& pick) {
    GtkWindow* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l != nullptr; l = l->next)
        if (gtk_widget_get_mapped(GTK_WIDGET(l->data)) && pick(GTK_WINDOW(l->data)))
            found = GTK_WINDOW(l->data);
    g_list_free(windows);
    return found;
}

TEST_F(BrowserWindowTest, PrintPreviewOpensThePrintDialogAfterTheCallHasReturned) {
    WebKitWebView* view = Open("index.html");
    // The dialog is modal: its answer is set up before the call.
    bool shown = false;
    g_timeout_add(
        50,
        [](gpointer data) -> gboolean {
            GtkWindow* dialog = FindShownWindow([](GtkWindow* w) { return IsPrintDialog(w); });
            if (dialog == nullptr)
                return G_SOURCE_CONTINUE;
            *static_cast<bool*>(data) = true;
            gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
            return G_SOURCE_REMOVE;
        },
        &shown);
    EXPECT_EQ(EvalJs(view, "String(window.external.webPreview())"), "\"undefined\"");
    EXPECT_TRUE(RunUntil([&] { return shown; }));
    RunFor(200);
}

TEST_F(BrowserWindowTest, FindDialogSearchesTheDocument) {
    WebKitWebView* view = Open("index.html");
    EXPECT_EQ(EvalJs(view, "String(window.external.WEBFIND())"), "\"undefined\"");
    GtkWindow* dialog = nullptr;
    ASSERT_TRUE(RunUntil([&] {
        dialog = FindShownWindow(
            [](GtkWindow* w) { return g_strcmp0(gtk_window_get_title(w), "Find") == 0; });
        return dialog != nullptr;
    }));
    int found = 0, failed = 0;
    WebKitFindController* finder = webkit_web_view_get_find_controller(view);
    g_signal_connect(
        finder, "found-text",
        G_CALLBACK(+[](WebKitFindController*, guint, gpointer d) { ++*static_cast<int*>(d); }),
        &found);
    g_signal_connect(
        finder, "failed-to-find-text",
        G_CALLBACK(+[](WebKitFindController*, gpointer d) { ++*static_cast<int*>(d); }), &failed);
    // Type into the dialog's entry and press its default button.
    std::function<GtkWidget*(GtkWidget*, GType)> child = [&](GtkWidget* w,
                                                             GType type) -> GtkWidget* {
        if (G_TYPE_CHECK_INSTANCE_TYPE(w, type))
            return w;
        if (!GTK_IS_CONTAINER(w))
            return nullptr;
        GList* kids = gtk_container_get_children(GTK_CONTAINER(w));
        GtkWidget* hit = nullptr;
        for (GList* l = kids; l != nullptr && hit == nullptr; l = l->next)
            hit = child(GTK_WIDGET(l->data), type);
        g_list_free(kids);
        return hit;
    };
    GtkWidget* entry = child(GTK_WIDGET(dialog), GTK_TYPE_ENTRY);
    ASSERT_NE(entry, nullptr);
    gtk_entry_set_text(GTK_ENTRY(entry), "SELECT");
    gtk_window_activate_default(dialog);
    ASSERT_TRUE(RunUntil([&] { return found == 1; }));
    GtkWidget* matchCase = child(GTK_WIDGET(dialog), GTK_TYPE_CHECK_BUTTON);
    ASSERT_NE(matchCase, nullptr);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(matchCase), TRUE);
    gtk_window_activate_default(dialog);
    EXPECT_TRUE(RunUntil([&] { return failed == 1; }));
    g_signal_handlers_disconnect_by_data(finder, &found);
    g_signal_handlers_disconnect_by_data(finder, &failed);
}

TEST_F(BrowserWindowTest, NonHtmlDocumentsGetNoFindDialog) {
    AddTestSiteFile("pic.svg", "image/svg+xml",
                    "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'/>");
    WebKitWebView* view = Open("pic.svg");
    FForm->WebBrowser->ShowFindDialog();
    FForm->WebBrowser->PrintPreview();
    RunFor(500);
    EXPECT_EQ(FindShownWindow([](GtkWindow* w) {
                  return g_strcmp0(gtk_window_get_title(w), "Find") == 0 || IsPrintDialog(w);
              }),
              nullptr);
    (void)view;
}

} // namespace
