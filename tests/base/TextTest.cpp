#include "base/Text.h"

#include <gtest/gtest.h>

#include <thread>

using namespace Folivant;

TEST(Text, Utf8Conversions) {
    const struct {
        std::string Utf8;
        String Text;
    } cases[] = {
        {"", u""},
        {"plain", u"plain"},
        {"caf\xC3\xA9", u"caf\u00E9"},
        {"\xE2\x82\xAC", u"\u20AC"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {std::string("a\0b", 3), String(u"a\0b", 3)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToString(c.Utf8), c.Text) << c.Utf8;
        EXPECT_EQ(StringToUtf8(c.Text), c.Utf8) << c.Utf8;
        EXPECT_TRUE(IsWellFormedUtf8(c.Utf8)) << c.Utf8;
    }
    const struct {
        std::string Bytes;
        String Decoded;
    } bad[] = {
        {"\xC3", u"\uFFFD"},
        {"\xC0\x80", u"\uFFFD\uFFFD"},                     // overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // beyond U+10FFFF
        {"a\x80"
         "b",
         u"a\uFFFDb"},
        {"\xE2\x82", u"\uFFFD\uFFFD"},
    };
    for (const auto& c : bad) {
        EXPECT_FALSE(IsWellFormedUtf8(c.Bytes));
        EXPECT_EQ(Utf8ToString(c.Bytes), c.Decoded);
    }
    EXPECT_EQ(StringToUtf8(String{static_cast<char16_t>(0xD800), u'x'}), "\xEF\xBF\xBDx");
}

TEST(Text, CodePages) {
    const struct {
        unsigned CodePage;
        std::string Bytes;
        String Text;
    } cases[] = {
        {437, "caf\x82 \x9A\xE1", u"caf\u00E9 \u00DC\u00DF"},
        {437, "\xB0\xC9", u"\u2591\u2554"},
        {1252, "\x80\xE9\x9F", u"\u20AC\u00E9\u0178"},
        // The bytes 1252 leaves undefined read as the C1 controls, as in
        // Windows.
        {1252,
         "a\x81\x8D\x8F\x90\x9D"
         "b",
         u"a\u0081\u008D\u008F\u0090\u009Db"},
        {1253,
         "a\xAA"
         "b",
         u"a\uFFFDb"}, // undefined in 1253
        {850, "\xD5", u"\u0131"},
        {866, "\x8F\xE0\xA8", u"\u041F\u0440\u0438"},
        {65001, "caf\xC3\xA9", u"caf\u00E9"},
        {12345, "ok\xFF", u"ok\uFFFD"}, // no such code page: ASCII survives
        {437, std::string(10000, '\x82'), String(10000, u'\u00E9')},
    };
    // Twice, alternating code pages, as the cached converters are reused.
    for (int round = 0; round < 2; ++round)
        for (const auto& c : cases)
            EXPECT_EQ(DecodeCodePage(c.Bytes, c.CodePage), c.Text)
                << c.CodePage << " " << c.Bytes.substr(0, 8);
    // Each thread has converters of its own.
    String fromThread;
    std::thread([&] { fromThread = DecodeCodePage("\x82", 437); }).join();
    EXPECT_EQ(fromThread, u"\u00E9");
}

TEST(Text, UpperCaseAndLetters) {
    EXPECT_EQ(UpperCaseUnicode(u"index.htm"), u"INDEX.HTM");
    EXPECT_EQ(UpperCaseUnicode(u"\u00E9\u00FF\u0101\u03C9\u0436"),
              u"\u00C9\u0178\u0100\u03A9\u0416");
    EXPECT_EQ(UpperCaseUnicode(u"\u00DF"), u"\u00DF"); // no single upper-case letter
    EXPECT_EQ(UpperCaseUnicode(u"\U0001F600"), u"\U0001F600");
    for (const char16_t c : {u'a', u'Z', u'7', u'\u00E9', u'\u0416', u'\u0398', u'\u4E2D'})
        EXPECT_TRUE(IsLetterOrDigit(c)) << static_cast<int>(c);
    for (const char16_t c :
         {u' ', u'/', u'_', u'\u00B0', u'\u2591', u'\u201A', static_cast<char16_t>(0xD800)})
        EXPECT_FALSE(IsLetterOrDigit(c)) << static_cast<int>(c);
}

TEST(Text, AsciiFoldingAndHexDigits) {
    struct Fold {
        std::u16string_view A, B;
        bool Same;
    };
    const Fold folds[] = {
        {u"Index.HTM", u"index.htm", true},
        {u"@[`{", u"@[`{", true},
        {u"@", u"`", false},
        {u"[", u"{", false},
        {u"\u00E9", u"\u00C9", false}, // only ASCII letters fold
        {u"ab", u"abc", false},
    };
    for (const auto& f : folds) {
        EXPECT_EQ(SameTextAscii(f.A, f.B), f.Same) << StringToUtf8(f.A) << " " << StringToUtf8(f.B);
        EXPECT_EQ(SameTextAscii(StringToUtf8(f.A), StringToUtf8(f.B)), f.Same);
    }
    const std::pair<char16_t, int> digits[] = {
        {u'0', 0},  {u'9', 9},  {u'a', 10}, {u'f', 15}, {u'A', 10}, {u'F', 15},      {u'/', -1},
        {u':', -1}, {u'@', -1}, {u'G', -1}, {u'`', -1}, {u'g', -1}, {u'\uFF10', -1},
    };
    for (const auto& [c, value] : digits)
        EXPECT_EQ(HexDigitValue(c), value) << static_cast<int>(c);
}
