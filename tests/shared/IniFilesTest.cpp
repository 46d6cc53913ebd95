#include "shared/IniFiles.h"

#include "base/Text.h"
#include "shared/PublicationSettings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using Folivant::String;
using Folivant::TReadOnlyMemoryStream;
using namespace Folivant::Shared;

namespace {

TMemIniFile Load(const std::string& bytes) {
    TReadOnlyMemoryStream stream(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    TMemIniFile ini;
    ini.SetStrings(StreamToLines(stream));
    return ini;
}

std::string Utf16LE(const String& text, bool bigEndian = false) {
    std::string out;
    for (const char16_t c : text) {
        const char lo = static_cast<char>(c & 0xFF);
        const char hi = static_cast<char>(c >> 8);
        out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return out;
}

} // namespace

// Settings text as it appears in a publication, and what the runtime reads
// from it. Each row is one text; Kind says how the key is read.
TEST(IniFiles, SettingsTextToValue) {
    enum Kind { Str, Int, Bool };
    const struct {
        std::string Text;
        Kind How;
        const char16_t* Key;
        const char16_t* Expected; // value read, booleans as 0/1
    } cases[] = {
        {"[Folivant]\nAppTitle=Atlas", Str, u"AppTitle", u"Atlas"},
        {"[ folivant ]\nAppTitle=Atlas", Str, u"AppTitle", u"Atlas"},
        {"AppTitle=Before\n[Folivant]\n", Str, u"AppTitle", u"<none>"},
        {"[Folivant]\n  appwindowwidth = 1024   \n", Int, u"AppWindowWidth", u"1024"},
        {"[Folivant]\nAppTitle=One\n[Other]\n[FOLIVANT]\nAppWindowWidth=5\n", Str, u"AppTitle",
         u"<none>"},
        {"[Folivant]\nAppTitle=One\nAppTitle=Two\n", Str, u"AppTitle", u"Two"},
        {"[Folivant]\nUseTrayIcon=true\n", Bool, u"UseTrayIcon", u"0"},
        {"[Folivant]\nUseTrayIcon=1\n", Bool, u"UseTrayIcon", u"1"},
        {"[Folivant]\nUseTrayIcon=2\n", Bool, u"UseTrayIcon", u"1"},
        {"[Folivant]\nUseTrayIcon=-1\n", Bool, u"UseTrayIcon", u"1"},
        {"[Folivant]\nUseTrayIcon=0\n", Bool, u"UseTrayIcon", u"0"},
        {"[Folivant]\nUseTrayIcon=\n", Bool, u"UseTrayIcon", u"0"},
        {"[Folivant]\nAppWindowWidth=0x400\n", Int, u"AppWindowWidth", u"1024"},
        {"[Folivant]\nAppWindowWidth=$400\n", Int, u"AppWindowWidth", u"1024"},
        {"[Folivant]\nAppWindowWidth=x400\n", Int, u"AppWindowWidth", u"1024"},
        {"[Folivant]\nAppWindowWidth=-0X10\n", Int, u"AppWindowWidth", u"-16"},
        {"[Folivant]\nAppWindowWidth=$FFFFFFFF\n", Int, u"AppWindowWidth", u"-1"},
        {"[Folivant]\nAppWindowWidth=$100000000\n", Int, u"AppWindowWidth", u"<none>"},
        {"[Folivant]\nAppWindowWidth=1 024\n", Int, u"AppWindowWidth", u"<none>"},
        {"[Folivant]\nAppWindowWidth=800px\n", Int, u"AppWindowWidth", u"<none>"},
        {"[Folivant]\nAppWindowWidth=+77\n", Int, u"AppWindowWidth", u"77"},
        {"[Folivant]\nAppWindowWidth=2147483647\n", Int, u"AppWindowWidth", u"2147483647"},
        {"[Folivant]\nAppWindowWidth=-2147483648\n", Int, u"AppWindowWidth", u"-2147483648"},
        {"[Folivant]\nAppWindowWidth=2147483648\n", Int, u"AppWindowWidth", u"<none>"},
        {"[Folivant]\nAppWindowWidth=99999999999999999999\n", Int, u"AppWindowWidth", u"<none>"},
        {"[Folivant]\nAppWindowWidth=$\n", Int, u"AppWindowWidth", u"<none>"},
        {"[Folivant]\nAppWindowWidth=0x\n", Int, u"AppWindowWidth", u"<none>"},
        {"[Folivant]\nAppWindowWidth=- 5\n", Int, u"AppWindowWidth", u"<none>"},
        {"[Folivant]\nExtractFileExts=\n", Str, u"ExtractFileExts", u""},
        {"[Folivant]\nAppTitle=\"Quoted\"\n", Str, u"AppTitle", u"\"Quoted\""},
        {"[Folivant]\nAppTitle=a=b ; c # d\n", Str, u"AppTitle", u"a=b ; c # d"},
        {"[Folivant]\n;AppTitle=Hidden\n", Str, u"AppTitle", u"<none>"},
        {"[Folivant]\n  ; AppTitle=Hidden\n", Str, u"AppTitle", u"<none>"},
        {"[Folivant]\n#AppTitle=Kept\n", Str, u"#AppTitle", u"Kept"},
        {"[Folivant]\nAppTitle\n", Str, u"AppTitle", u"<none>"},
        {"[Folivant]\r\nAppTitle=CRLF\r\nIndexPage=x", Str, u"AppTitle", u"CRLF"},
        {"[Folivant]\rAppTitle=CR\rIndexPage=x", Str, u"AppTitle", u"CR"},
        {"[Folivant]\nAppTitle=Last line", Str, u"AppTitle", u"Last line"},
        {std::string("[Folivant]\nAppTitle=Cut\0\nIndexPage=x", 36), Str, u"IndexPage", u"<none>"},
        {"\t[Folivant]\t\n\tAppTitle\t=\tTabs\x01\n", Str, u"AppTitle", u"Tabs"},
        {"[Folivant]\nAppTitle=Caf\xE9\n", Str, u"AppTitle", u"Caf\u00E9"},
        {"\xEF\xBB\xBF[Folivant]\nAppTitle=Caf\xC3\xA9\n", Str, u"AppTitle", u"Caf\u00E9"},
        {"[Folivant]\nAppTitle=\xC3\xA9\n", Str, u"AppTitle", u"\u00C3\u00A9"},
        {"[Folivant]\n\xC9T\xC9=1\n", Str, u"\u00E9t\u00E9", u"1"},
        {"[]\n=empty\n", Str, u"", u"empty"},
    };
    for (const auto& c : cases) {
        const TMemIniFile ini = Load(c.Text);
        const std::string section = c.Key[0] == 0 ? "" : "Folivant";
        const String sec = Folivant::S(section);
        String got;
        switch (c.How) {
        case Str:
            got = ini.ReadString(sec, c.Key, u"<none>");
            break;
        case Int: {
            const auto v = ini.ReadInteger(sec, c.Key, 123456);
            got = v == 123456 ? u"<none>" : Folivant::S(std::to_string(v));
            break;
        }
        case Bool:
            got = ini.ReadBool(sec, c.Key, false) ? u"1" : u"0";
            break;
        }
        EXPECT_EQ(Folivant::StringToUtf8(got), Folivant::StringToUtf8(c.Expected)) << c.Text;
    }
}

TEST(IniFiles, ByteOrderMarksChooseTheEncoding) {
    const String text = u"[Folivant]\r\nAppTitle=\u041A\u043D\u0438\u0433\u0430 \u20AC\r\n";
    const String title = u"\u041A\u043D\u0438\u0433\u0430 \u20AC";
    EXPECT_EQ(Load("\xFF\xFE" + Utf16LE(text)).ReadString(u"Folivant", u"AppTitle", u""), title);
    EXPECT_EQ(Load("\xFE\xFF" + Utf16LE(text, true)).ReadString(u"Folivant", u"AppTitle", u""),
              title);
    EXPECT_EQ(Load("\xEF\xBB\xBF" + Folivant::StringToUtf8(text))
                  .ReadString(u"Folivant", u"AppTitle", u""),
              title);
    // Without a mark the same UTF-16 bytes are ANSI text full of NULs: the
    // text ends at the first one.
    EXPECT_EQ(Load(Utf16LE(text)).SectionCount(), 0u);
}

TEST(IniFiles, ReadsFromTheStreamPosition) {
    const std::string bytes = "JUNK[Folivant]\nAppTitle=Here\n";
    TReadOnlyMemoryStream stream(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    stream.SetPosition(4);
    TMemIniFile ini;
    ini.SetStrings(StreamToLines(stream));
    EXPECT_EQ(ini.ReadString(u"Folivant", u"AppTitle", u""), u"Here");
    // Loading again replaces, never merges.
    ini.SetStrings({u"[Other]", u"A=1"});
    EXPECT_EQ(ini.ReadString(u"Folivant", u"AppTitle", u"gone"), u"gone");
    EXPECT_EQ(ini.SectionCount(), 1u);
}

TEST(IniFiles, LinesKeepTheirStoredForm) {
    const TMemIniFile ini = Load("[ A ]\n x = 1 \nplain line\n\n[A]\ny=\n");
    ASSERT_EQ(ini.SectionCount(), 2u);
    EXPECT_EQ(ini.SectionName(0), u"A");
    EXPECT_EQ(ini.SectionLines(0), (TStringLines{u"x=1", u"plain line"}));
    EXPECT_EQ(ini.SectionLines(1), (TStringLines{u"y="}));
    EXPECT_EQ(TextToLines(u"a\r\n\r\nb\n"), (TStringLines{u"a", u"", u"b"}));
    EXPECT_EQ(TextToLines(u"\n"), (TStringLines{u""}));
    EXPECT_TRUE(TextToLines(u"").empty());
}

TEST(PublicationSettings, DefaultsAndValuesInTableOrder) {
    const auto defaults = DescribePublicationSettings(TMemIniFile());
    const std::vector<std::pair<String, String>> expected = {
        {u"AppTheme", u"Windows"},    {u"AppTitle", u""},
        {u"AppPassword", u""},        {u"UseTrayIcon", u"0"},
        {u"RootDirName", u""},        {u"AppEscapeClose", u"0"},
        {u"IndexPage", u""},          {u"ExtractFileExts", u"zip mp3 mp4"},
        {u"ExecuteFileExts", u"exe"}, {u"AppWindowWidth", u"800"},
        {u"AppWindowHeight", u"600"}, {u"HideJsErrors", u"0"},
        {u"AppWindowStyle", u"0"},    {u"AppBorderStyle", u"2"},
        {u"AppWindowOrder", u"0"},
    };
    EXPECT_EQ(defaults, expected);

    const TMemIniFile ini = Load("[Folivant]\nAppTitle=T\nUseTrayIcon=1\nAppWindowHeight=$10\n"
                                 "AppBorderStyle=junk\nHideJsErrors=7\n");
    const TPublicationSettings s = ReadPublicationSettings(ini);
    EXPECT_EQ(s.AppTitle, u"T");
    EXPECT_TRUE(s.UseTrayIcon);
    EXPECT_EQ(s.AppWindowHeight, 16);
    EXPECT_EQ(s.AppWindowWidth, 800);
    EXPECT_EQ(s.AppBorderStyle, 2);
    EXPECT_TRUE(s.HideJsErrors);
    EXPECT_EQ(s.AppTheme, u"Windows");
    EXPECT_EQ(s.ExtractFileExts, u"zip mp3 mp4");
}
