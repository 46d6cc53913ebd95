#include "shared/StrUtils.h"

#include "base/Text.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <set>

using Folivant::String;
using Folivant::Shared::TArrayStrings;
using Folivant::Shared::TStrUtils;

namespace {

struct TextCase {
    String Input;
    String Expected;
};

} // namespace

TEST(StrUtils, UrlDecode) {
    const TextCase cases[] = {
        {u"", u""},
        {u"a+b%20c", u"a b c"},
        {u"%2B", u"+"},
        {u"+", u" "},
        {u"a%2Fb", u"a/b"},
        {u"%41%e9", u"A\u00E9"},
        {u"%C3%A9", u"\u00C3\u00A9"},
        {u"abc%4", u"abc\u0004"},
        // A bad escape empties the whole result, also what came before it.
        {u"100%", u""},
        {u"%", u""},
        {u"%zz", u""},
        {u"%4%41", u""},
        {u"ok%4g", u""},
        {u"site/%E2%82%AC.html", u"site/\u00E2\u0082\u00AC.html"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TStrUtils::UrlDecode(c.Input), c.Expected) << Folivant::StringToUtf8(c.Input);
}

TEST(StrUtils, UrlEncode) {
    const TextCase cases[] = {
        {u"A-z_0.9", u"A-z_0.9"}, {u"a b", u"a%20b"}, {u"/~", u"%2F%7E"}, {u"\u00E9", u"%E9"},
        {u"\u20AC", u"%20AC"},    {u"\n", u"%0A"},    {u"+", u"%2B"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TStrUtils::UrlEncode(c.Input), c.Expected) << Folivant::StringToUtf8(c.Input);
    // Encoding then decoding gives the text back for units up to FF.
    const String text = u"a b/c?d=\u00FF&e";
    EXPECT_EQ(TStrUtils::UrlDecode(TStrUtils::UrlEncode(text)), text);
}

TEST(StrUtils, RemoveSideSlashesAndQuery) {
    const TextCase slashes[] = {
        {u"//a/b//", u"a/b"},     {u"///", u""}, {u"/", u""}, {u"", u""}, {u"a//b", u"a//b"},
        {u"\\dir\\", u"\\dir\\"}, {u"/x", u"x"},
    };
    for (const auto& c : slashes)
        EXPECT_EQ(TStrUtils::RemoveSideSlashes(c.Input), c.Expected)
            << Folivant::StringToUtf8(c.Input);
    const TextCase queries[] = {
        {u"a/b.html?x=1#top", u"a/b.html"},
        {u"a.html#s?q", u"a.html"},
        {u"?x", u""},
        {u"#", u""},
        {u"plain/name.css", u"plain/name.css"},
    };
    for (const auto& c : queries)
        EXPECT_EQ(TStrUtils::RemoveQueryFromUri(c.Input), c.Expected)
            << Folivant::StringToUtf8(c.Input);
}

TEST(StrUtils, FormatByteSizeUnitsAndRounding) {
    std::setlocale(LC_ALL, "C");
#ifndef _WIN32
    setenv("LC_ALL", "C", 1);
#endif
    const struct {
        std::int64_t Bytes;
        String Expected;
    } cases[] = {
        {0, u" bytes"},
        {512, u"512 bytes"},
        {1024, u"1024 bytes"},
        {1025, u"1 KB"},
        {1536, u"1.5 KB"},
        {1048576, u"1024 KB"},
        {1048577, u"1 MB"},
        {1073741824, u"1024 MB"},
        {1073741825, u"1 GB"},
        {1610612736, u"1.5 GB"},
        {-5, u"-5 bytes"},
        // 1.125 KB: a tie at the second decimal rounds away from zero.
        {1152, u"1.13 KB"},
        {1034, u"1.01 KB"},
        // 1.999 KB rounds up to the next whole number without decimals.
        {2047, u"2 KB"},
        {INT64_MAX, u"8589934592 GB"},
        {INT64_MIN, u"-9223372036854775808 bytes"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TStrUtils::FormatByteSize(c.Bytes), c.Expected) << c.Bytes;
#ifndef _WIN32
    unsetenv("LC_ALL");
#endif
}

#ifndef _WIN32

TEST(StrUtils, FormatByteSizeUsesLocaleSeparator) {
    // A German locale writes "," as decimal separator; it is compiled into a
    // private folder when the machine has none installed.
    Folivant::Testing::TempDir dir;
    const auto built = Folivant::Testing::RunProcess(
        {"/usr/bin/localedef", "-i", "de_DE", "-f", "UTF-8", (dir / "de_DE.UTF-8").string()});
    if (built.ExitCode != 0)
        GTEST_SKIP() << "cannot build a de_DE locale: " << built.Stderr;
    setenv("LOCPATH", dir.Path().c_str(), 1);
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(TStrUtils::FormatByteSize(1536), u"1,5 KB");
    EXPECT_EQ(TStrUtils::FormatByteSize(1025), u"1 KB");
    unsetenv("LC_ALL");
    unsetenv("LOCPATH");
    EXPECT_EQ(TStrUtils::FormatByteSize(1536), u"1.5 KB");
}
#endif

TEST(StrUtils, RandomStringLettersAndReseeding) {
    std::set<String> seen;
    for (int i = 0; i < 20; ++i) {
        const String s = TStrUtils::RandomString(10);
        ASSERT_EQ(s.size(), 10u);
        for (const char16_t c : s)
            EXPECT_TRUE((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'))
                << static_cast<int>(c);
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 20u);
    EXPECT_EQ(TStrUtils::RandomString(0), u"");
    EXPECT_EQ(TStrUtils::RandomString(-3), u"");
}

TEST(StrUtils, ExplodeAndImplode) {
    const struct {
        String Separator;
        String Input;
        TArrayStrings Expected;
    } cases[] = {
        {u" ", u"zip mp3 mp4", {u"zip", u"mp3", u"mp4"}},
        {u" ", u"zip  mp3", {u"zip", u"", u"mp3"}},
        {u" ", u" zip ", {u"", u"zip", u""}},
        {u" ", u"", {u""}},
        {u" ", u"exe", {u"exe"}},
        {u"", u"a b", {u"a b"}},
        {u"::", u"a::b:c::", {u"a", u"b:c", u""}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TStrUtils::ExplodeStrings(c.Separator, c.Input), c.Expected)
            << Folivant::StringToUtf8(c.Input);
        if (!c.Separator.empty()) {
            EXPECT_EQ(TStrUtils::ImplodeStrings(c.Separator, c.Expected), c.Input);
        }
    }
    EXPECT_EQ(TStrUtils::ImplodeStrings(u",", {}), u"");
    EXPECT_EQ(TStrUtils::ImplodeStrings(u",", {u""}), u"");
    EXPECT_EQ(TStrUtils::RepeatString(u"ab", 3), u"ababab");
    EXPECT_EQ(TStrUtils::RepeatString(u"ab", 0), u"");
}

TEST(StrUtils, GetGUIDShape) {
    const String a = TStrUtils::GetGUID();
    ASSERT_EQ(a.size(), 36u);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            EXPECT_EQ(a[i], u'-');
        } else {
            EXPECT_TRUE((a[i] >= u'0' && a[i] <= u'9') || (a[i] >= u'A' && a[i] <= u'F')) << i;
        }
    }
    EXPECT_NE(a, TStrUtils::GetGUID());
}
