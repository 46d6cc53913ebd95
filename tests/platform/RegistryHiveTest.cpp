#include "platform/RegistryHive.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>

using namespace Folivant::Platform;
using Folivant::String;
using Folivant::TBytes;

namespace {

// body followed by the checksum line that makes it a whole hive file.
std::string Sealed(const std::string& body) {
    char trailer[32];
    std::snprintf(
        trailer, sizeof trailer, "end %08lx\n",
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    return body + trailer;
}

const std::string Header = "FolivantRegistry 1\n";

} // namespace

// The file written for one value is exactly the documented one, so hive
// files written earlier keep reading.
TEST(RegistryHive, WritesTheDocumentedText) {
    THive hive;
    hive.Keys.push_back(THiveKey{});
    hive.Keys.push_back(
        THiveKey{u"Software\\Folivant", {THiveValue{u"Name", 4, {0x11, 0x27, 0, 0}}}});
    EXPECT_EQ(SerializeHive(hive), "FolivantRegistry 1\n"
                                   "key \"Software\\\\Folivant\"\n"
                                   "value \"Name\" 4 11270000\n"
                                   "end 3315d26e\n");
}

TEST(RegistryHive, ReadsOnlyWholeWellFormedHives) {
    struct Case {
        const char* What;
        std::string Text;
        bool Read;
    };
    const std::string good = Sealed(Header + "key \"A\"\nvalue \"v\" 4 0100\n");
    std::string flipped = good;
    flipped[flipped.find("0100")] = '1';
    const Case cases[] = {
        {"no keys at all", Sealed(Header), true},
        {"a key and a value", good, true},
        {"values of the root", Sealed(Header + "key \"\"\nvalue \"v\" 3 00ff\n"), true},
        {"escapes", Sealed(Header + "key \"a\"\nvalue \"q\\\"b\\\\s\\x09\\u00e9\\ud800\" 1 -\n"),
         true},
        {"data changed under the checksum", flipped, false},
        {"text after the checksum line", good + "x", false},
        {"another header", Sealed("FolivantRegistry 2\n"), false},
        {"a value before any key", Sealed(Header + "value \"v\" 4 -\n"), false},
        {"a key twice in another case", Sealed(Header + "key \"Ab\"\nkey \"aB\"\n"), false},
        {"a value twice in another case",
         Sealed(Header + "key \"a\"\nvalue \"V\" 1 -\nvalue \"v\" 1 -\n"), false},
        {"an empty name in a key path", Sealed(Header + "key \"a\\\\\\\\b\"\n"), false},
        {"a key path that starts with a separator", Sealed(Header + "key \"\\\\a\"\n"), false},
        {"upper-case data", Sealed(Header + "key \"a\"\nvalue \"v\" 3 00FF\n"), false},
        {"half a data byte", Sealed(Header + "key \"a\"\nvalue \"v\" 3 00f\n"), false},
        {"a type beyond 32 bits", Sealed(Header + "key \"a\"\nvalue \"v\" 4294967296 -\n"), false},
        {"a raw control byte in a name", Sealed(Header + "key \"a\tb\"\n"), false},
        {"a name that is not UTF-8", Sealed(Header + "key \"\\xff\"\n"), false},
        {"an unknown escape", Sealed(Header + "key \"\\n\"\n"), false},
        {"an unknown line", Sealed(Header + "key \"a\"\nsomething\n"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        THive hive;
        ASSERT_EQ(ParseHive(c.Text, hive), c.Read);
        if (!c.Read)
            continue;
        // The root key is always there once read; what is read writes out
        // as a text that reads back the same.
        ASSERT_NE(FindHiveKey(hive, String()), nullptr);
        const std::string written = SerializeHive(hive);
        THive again;
        ASSERT_TRUE(ParseHive(written, again));
        EXPECT_EQ(SerializeHive(again), written);
    }
}

TEST(RegistryHive, EscapedNamesAndDataReadBackExactly) {
    THive hive;
    ASSERT_TRUE(ParseHive(
        Sealed(Header + "key \"Software\\\\K\"\nvalue \"q\\\"b\\\\s\\x09\\u00e9\\ud800\" 3 00ff\n"),
        hive));
    THiveKey* key = FindHiveKey(hive, u"SOFTWARE\\k");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->Path, u"Software\\K");
    const THiveValue* value = FindHiveValue(*key, u"Q\"B\\S\t\u00C9\xD800");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->Name, u"q\"b\\s\t\u00E9\xD800");
    EXPECT_EQ(value->Type, 3u);
    EXPECT_EQ(value->Data, TBytes({0x00, 0xFF}));
}
