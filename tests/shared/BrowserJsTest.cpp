// The script bridge's name table, dispatch and argument conventions, and the
// command-line splitting rule, without a display.

#include "shared/BrowserJs.h"
#include "shared/GlobalMainForm.h"
#include "shared/JsConstants.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace Folivant;
using namespace Folivant::Shared;

namespace {

std::string Narrow(const String& s) {
    return std::string(s.begin(), s.end());
}

class TFakeBrowser : public TJsBrowser {
public:
    int Finds = 0;
    int Previews = 0;
    bool FailPreview = false;
    void ShowFindDialog() override { ++Finds; }
    void PrintPreview() override {
        ++Previews;
        if (FailPreview)
            throw Folivant::Exception(u"Printing is not available");
    }
};

class TFakeMainForm : public TGlobalMainForm {
public:
    std::vector<std::string> Calls;
    bool Runtime = true;
    bool IsRuntime() override { return Runtime; }
    bool OpenFile(const String& p) override {
        Calls.push_back("open " + Narrow(p));
        return true;
    }
    bool PlayWavSound(const String& p, bool loop) override {
        Calls.push_back("play " + Narrow(p) + (loop ? " loop" : " once"));
        return true;
    }
    bool HandleDownloableFiles(const String&) override { return false; }
    void StopWavSound() override { Calls.push_back("stop"); }
    String Caption() const override { return u"T"; }
    int Left() const override { return 0; }
    int Top() const override { return 0; }
    int Width() const override { return 0; }
    int Height() const override { return 0; }
    void Close() override {}
};

// Arguments in script order; the bridge receives them last first.
TDispParams Args(std::vector<TVariant> scriptOrder) {
    TDispParams p;
    p.rgvarg.assign(scriptOrder.rbegin(), scriptOrder.rend());
    return p;
}

class BrowserJsTest : public ::testing::Test {
protected:
    void SetUp() override { ActiveMainForm = &Main; }
    void TearDown() override { ActiveMainForm = nullptr; }

    TVariant Run(std::int32_t id, std::vector<TVariant> args) {
        TDispParams p = Args(std::move(args));
        TVariant result;
        Js.ExecuteFunction(Browser, id, p, &result);
        return result;
    }

    TBrowserJs Js;
    TFakeBrowser Browser;
    TFakeMainForm Main;
};

TEST_F(BrowserJsTest, NamesResolveFoldingOnlyAsciiLetters) {
    struct {
        const char16_t* Name;
        std::int32_t ID;
    } cases[] = {
        {u"webFind", 1},     {u"WEBFIND", 1},        {u"webpreview", 2},
        {u"appPlayWav", 3},  {u"APPSTOPWAV", 4},     {u"appOpenFile", 5},
        {u"appparamstr", 6}, {u"appParamCount", 7},  {u"AppIsRuntime", 8},
        {u"sayhello", 9999}, {u"appIsRuntime ", -1}, {u" webFind", -1},
        {u"", -1},           {u"foo", -1},           {u"webFınd", -1}, // dotless i is no "i"
        {u"ＷebFind", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Js.FunctionIDByName(c.Name), c.ID) << Narrow(c.Name);
    for (const TJsFunction& f : JsFunctions)
        EXPECT_EQ(Js.FunctionNameByID(f.ID), f.Name);
    EXPECT_EQ(Js.FunctionNameByID(0), u"");
    EXPECT_EQ(Js.FunctionNameByID(9), u"");
}

TEST_F(BrowserJsTest, EveryFunctionDispatchesWithItsArgumentCounts) {
    // Find and preview go to the browser control, and answer nothing.
    TVariant r = Run(JS_WEB_FIND, {});
    EXPECT_EQ(Browser.Finds, 1);
    EXPECT_EQ(r.vt, VT_EMPTY);
    Run(JS_WEB_PREVIEW, {TVariant::FromInt(1)});
    EXPECT_EQ(Browser.Previews, 1);

    // Sounds: a path, or a path and a loop flag of which the low 16 bits
    // count; other counts do nothing.
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"a.wav")});
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"b.wav"), TVariant::FromBool(true)});
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"c.wav"), TVariant::FromInt(1)});
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"d.wav"), TVariant::FromBool(false)});
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"e.wav"), TVariant::FromInt(0x10000)});
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"f.wav"), TVariant::FromDouble(2.5)});
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"g.wav"), TVariant::FromString(u"yes")});
    Run(JS_APP_PLAY_WAV, {});
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"x"), TVariant::FromInt(1), TVariant::FromInt(1)});
    Run(JS_APP_STOP_WAV, {TVariant::FromString(u"ignored")});
    // Files: exactly one argument, taken as text.
    Run(JS_APP_OPEN_FILE, {TVariant::FromString(u"doc.pdf")});
    Run(JS_APP_OPEN_FILE, {});
    Run(JS_APP_OPEN_FILE, {TVariant::FromString(u"a"), TVariant::FromString(u"b")});
    Run(JS_APP_OPEN_FILE, {TVariant::FromInt(7)});
    Run(JS_APP_OPEN_FILE, {TVariant::FromString(String(u"cut\0here", 8))});
    std::vector<std::string> expected = {
        "play a.wav once", "play b.wav loop", "play c.wav loop", "play d.wav once",
        "play e.wav once", "play f.wav loop", "play g.wav once", "stop",
        "open doc.pdf",    "open 7",          "open cut"};
    EXPECT_EQ(Main.Calls, expected);

    // Results.
    r = Run(JS_APP_IS_RUNTIME, {});
    EXPECT_EQ(r.vt, VT_I4);
    EXPECT_EQ(r.intVal, 1);
    Main.Runtime = false;
    EXPECT_EQ(Run(JS_APP_IS_RUNTIME, {}).intVal, 0);
    r = Run(JS_SAY_HELLO, {TVariant::FromString(u"Ann")});
    EXPECT_EQ(r.vt, VT_BSTR);
    EXPECT_EQ(r.bstrVal, u"Hello Ann!");
    EXPECT_EQ(Run(JS_SAY_HELLO, {}).bstrVal, u"Hello!");
    EXPECT_EQ(Run(JS_SAY_HELLO, {TVariant::FromString(u"a"), TVariant::FromString(u"b")}).bstrVal,
              u"Hello!");
    EXPECT_EQ(Run(JS_SAY_HELLO, {TVariant::FromDouble(0.1)}).bstrVal, u"Hello 0.1!");
    r = Run(JS_APP_PARAM_COUNT, {});
    EXPECT_EQ(r.vt, VT_BSTR);
    EXPECT_EQ(
        r.bstrVal, String(u"") + [] {
            std::string n =
                std::to_string(TBrowserJs::ParamCount(TBrowserJs::ProcessCommandLine()));
            return String(n.begin(), n.end());
        }());
    EXPECT_EQ(Run(12345, {}).vt, VT_EMPTY);
}

TEST_F(BrowserJsTest, TheSoundBelongsToThePageThatStartedItLast) {
    TFakeBrowser other;
    auto play = [&](TJsBrowser& by) {
        TDispParams p = Args({TVariant::FromString(u"a.wav"), TVariant::FromBool(true)});
        Js.ExecuteFunction(by, JS_APP_PLAY_WAV, p, nullptr);
    };
    auto stop = [&](TJsBrowser& by) {
        TDispParams p;
        Js.ExecuteFunction(by, JS_APP_STOP_WAV, p, nullptr);
    };
    play(Browser);
    EXPECT_FALSE(TBrowserJs::ReleaseSound(other));
    EXPECT_TRUE(TBrowserJs::ReleaseSound(Browser));
    EXPECT_FALSE(TBrowserJs::ReleaseSound(Browser)); // released once
    play(Browser);
    play(other);
    EXPECT_FALSE(TBrowserJs::ReleaseSound(Browser));
    EXPECT_TRUE(TBrowserJs::ReleaseSound(other));
    play(Browser);
    stop(other); // any page stops the one sound
    EXPECT_FALSE(TBrowserJs::ReleaseSound(Browser));
}

TEST_F(BrowserJsTest, ParamStrFollowsIndexAndCountRules) {
    const int count = TBrowserJs::ParamCount(TBrowserJs::ProcessCommandLine());
    TVariant zero = Run(JS_APP_PARAM_STR, {TVariant::FromInt(0)});
    EXPECT_EQ(zero.vt, VT_BSTR);
    EXPECT_EQ(zero.bstrVal, TBrowserJs::ProcessFileName());
    EXPECT_FALSE(zero.bstrVal.empty());
    TVariant negative = Run(JS_APP_PARAM_STR, {TVariant::FromInt(-1)});
    EXPECT_EQ(negative.vt, VT_BSTR);
    EXPECT_EQ(negative.bstrVal, u"");
    EXPECT_EQ(Run(JS_APP_PARAM_STR, {TVariant::FromInt(count + 1)}).vt, VT_EMPTY);
    // Only the low 16 bits of the index count: 65536 is 0, 65535 is -1.
    EXPECT_EQ(Run(JS_APP_PARAM_STR, {TVariant::FromInt(65536)}).bstrVal,
              TBrowserJs::ProcessFileName());
    EXPECT_EQ(Run(JS_APP_PARAM_STR, {TVariant::FromInt(65535)}).bstrVal, u"");
    EXPECT_EQ(Run(JS_APP_PARAM_STR, {}).vt, VT_EMPTY);
    EXPECT_EQ(Run(JS_APP_PARAM_STR, {TVariant::FromString(u"0")}).vt, VT_EMPTY);

    // Without a result slot the result is dropped.
    TDispParams p = Args({TVariant::FromInt(0)});
    Js.ExecuteFunction(Browser, JS_APP_PARAM_STR, p, nullptr);
    Js.ExecuteFunction(Browser, JS_SAY_HELLO, p, nullptr);
    Js.ExecuteFunction(Browser, JS_APP_IS_RUNTIME, p, nullptr);
}

TEST_F(BrowserJsTest, ResultsReplaceWhatTheSlotHeld) {
    TDispParams p = Args({});
    TVariant result = TVariant::FromInt(77);
    Js.ExecuteFunction(Browser, JS_SAY_HELLO, p, &result);
    EXPECT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(result.intVal, 0);
    // Functions without a result leave the slot as it was.
    result = TVariant::FromInt(5);
    Js.ExecuteFunction(Browser, JS_WEB_FIND, p, &result);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.intVal, 5);
}

TEST_F(BrowserJsTest, FailuresOfActionsReachTheCaller) {
    Browser.FailPreview = true;
    TDispParams p;
    TVariant r;
    EXPECT_THROW(Js.ExecuteFunction(Browser, JS_WEB_PREVIEW, p, &r), Folivant::Exception);
}

TEST_F(BrowserJsTest, WithoutMainWindowTheHostFunctionsDoNothing) {
    ActiveMainForm = nullptr;
    Run(JS_APP_PLAY_WAV, {TVariant::FromString(u"a.wav")});
    Run(JS_APP_OPEN_FILE, {TVariant::FromString(u"a")});
    Run(JS_APP_STOP_WAV, {});
    EXPECT_EQ(Run(JS_APP_IS_RUNTIME, {}).intVal, 0);
    EXPECT_TRUE(Main.Calls.empty());
}

TEST(CommandLineTest, SplittingRule) {
    struct {
        const char16_t* Line;
        std::vector<String> Words;
    } cases[] = {
        {u"prog.exe \"a b\" c", {u"prog.exe", u"a b", u"c"}},
        {u"  prog   one\ttwo  ", {u"prog", u"one", u"two"}},
        {u"\"C:\\Program Files\\p.exe\" x", {u"C:\\Program Files\\p.exe", u"x"}},
        {u"prog a\"b c\"d e", {u"prog", u"ab cd", u"e"}},
        {u"prog \"\"x y", {u"prog", u"x", u"y"}},
        {u"prog \"unterminated stretch", {u"prog", u"unterminated stretch"}},
        {u"prog \"\"", {u"prog"}},
        {u"", {}},
        {u"prog \x01\x02 x", {u"prog", u"x"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TBrowserJs::SplitCommandLine(c.Line), c.Words) << Narrow(c.Line);

    const String line = u"prog.exe \"a b\" c";
    EXPECT_EQ(TBrowserJs::ParamCount(line), 2);
    EXPECT_EQ(TBrowserJs::ParamCount(u""), 0);
    EXPECT_EQ(TBrowserJs::ParamCount(u"prog"), 0);
    EXPECT_EQ(TBrowserJs::ParamStr(line, 0, u"/opt/pub/prog"), u"/opt/pub/prog");
    EXPECT_EQ(TBrowserJs::ParamStr(line, 1, u"x"), u"a b");
    EXPECT_EQ(TBrowserJs::ParamStr(line, 2, u"x"), u"c");
    EXPECT_EQ(TBrowserJs::ParamStr(line, 3, u"x"), u"");
    EXPECT_EQ(TBrowserJs::ParamStr(line, -1, u"x"), u"");
}

TEST(CommandLineTest, TheProcessCommandLineGivesBackItsArguments) {
    // This test program's own arguments, as the platform gives them.
    auto words = TBrowserJs::SplitCommandLine(TBrowserJs::ProcessCommandLine());
    ASSERT_FALSE(words.empty());
    EXPECT_FALSE(TBrowserJs::ProcessFileName().empty());
#ifdef _WIN32
    EXPECT_EQ(TBrowserJs::ProcessFileName().substr(1, 2), u":\\");
#else
    EXPECT_EQ(TBrowserJs::ProcessFileName()[0], u'/');
#endif
}

TEST(VariantTextTest, ArgumentsOfOtherTypesBecomeText) {
    struct {
        TVariant Value;
        const char16_t* Text;
    } cases[] = {
        {TVariant::FromInt(-12), u"-12"},
        {TVariant::FromDouble(1.5), u"1.5"},
        {TVariant::FromDouble(0.1), u"0.1"},
        {TVariant::FromDouble(1e21), u"1e+21"},
        {TVariant::FromDouble(-3), u"-3"},
        {TVariant::FromBool(true), u"true"},
        {TVariant::FromBool(false), u"false"},
        {TVariant::Null(), u""},
        {TVariant::Empty(), u""},
        {TVariant::FromString(u"x"), u"x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(VariantToText(c.Value), c.Text) << Narrow(c.Text);
}

} // namespace
