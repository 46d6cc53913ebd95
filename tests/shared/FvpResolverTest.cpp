#include "shared/FvpResolver.h"

#include "base/Text.h"
#include "archive/ZipWriter.h"

#include "support/ProtocolSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace Folivant;
using namespace Folivant::Shared;
using Folivant::Testing::FetchUrl;

namespace {

String RequestOf(const String& url) {
    const std::size_t colon = url.find(u':');
    return colon == String::npos ? url : url.substr(colon + 1);
}

// An archive written by the packer, opened by the publication's reader.
class TPublication {
public:
    TPublication() {
        Archive::TZipWriter writer(FData);
        writer.AddBytes("site/index.html", "<html><body>index</body></html>");
        writer.AddBytes("site/img/My Photo.jpg", "photo-bytes");
        writer.AddBytes("site/a b.html", "a b");
        writer.AddBytes("site/c+d.html", "c+d");
        writer.AddBytes("site/page.html", "page");
        writer.AddDirectory("site/docs/");
        writer.AddBytes("site/a", "just a");
        writer.AddBytes("site/\xc3\xa9t\xc3\xa9.html", "ete", false);
        writer.AddBytes("site/empty.txt", "");
        writer.AddBytes("Site/Case.CSS", "body{}");
        writer.Finish();
        Zip.Password = Archive::ArchivePassword;
        Zip.SetStream(&FData);
    }
    Archive::TZipReader Zip;

private:
    TMemoryStream FData;
};

// An archive whose decoder fails part-way through one entry.
class TFailingArchive : public TFvpArchive {
public:
    int FindFile(const String& name) const override {
        return name == u"site/x.bin" || name == u"site/100%s.bin" ? 0 : -1;
    }
    void ExtractToStream(const String& name, TStream& stream) override {
        ++Extractions;
        stream.WriteBuffer("part", 4);
        throw EStreamError(u"disk gone");
    }
    int Extractions = 0;
};

class FvpResolver : public ::testing::Test {
protected:
    void SetUp() override { InitializeProtocolRegistry(); }
    void TearDown() override { FinalizeProtocolRegistry(); }
};

} // namespace

TEST(FvpResolverNames, UrlToEntryName) {
    const struct {
        const char16_t* Url;
        const char16_t* Name;
    } cases[] = {
        {u"fvp://site/index.html", u"site/index.html"},
        {u"fvp:///site/index.html/", u"site/index.html"},
        {u"fvp://site/img/My%20Photo.jpg", u"site/img/My Photo.jpg"},
        {u"fvp://site/a+b.html", u"site/a b.html"},
        {u"fvp://site/page.html?lang=en#top", u"site/page.html"},
        {u"fvp://site/page.html#part", u"site/page.html"},
        {u"fvp://site/docs/?x=1", u"site/docs/"},
        {u"fvp://site/a%3Fb.html", u"site/a"},
        {u"fvp://site/%E9t%E9.html", u"site/\u00e9t\u00e9.html"},
        {u"fvp://site/100%.html", u""},
        {u"fvp:site/index.html", u"site/index.html"},
        // Bad input: malformed escapes, escaped NUL, slashes only, nothing.
        {u"fvp://site/%", u""},
        {u"fvp://site/%4", u"site/\u0004"},
        {u"fvp://site/%zz.html", u""},
        {u"fvp://site/%%41", u""},
        {u"fvp://////", u""},
        {u"fvp:", u""},
        {u"fvp:?x", u""},
        {u"fvp://%2F%2Fsite%2F", u"site"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TFvpResolver::EntryName(RequestOf(String(c.Url))), String(c.Name))
            << Folivant::StringToUtf8(c.Url);
    }
    // An escaped NUL stays inside the name, and the name goes no further.
    EXPECT_EQ(TFvpResolver::EntryName(u"//site/a%00b?q"), String(u"site/a\0b", 8));
    EXPECT_EQ(TFvpResolver::EntryName(String(u"//a\0b/", 6)), String(u"a\0b", 3));
}

TEST_F(FvpResolver, RequestsAreAnsweredFromTheArchive) {
    TPublication pub;
    std::vector<String> messages;
    auto protocol = CreateFvpProtocol(pub.Zip, [&](const String& m) { messages.push_back(m); });
    ASSERT_TRUE(protocol->Active());
    EXPECT_EQ(protocol->Protocol(), u"fvp");

    const struct {
        const char16_t* Url;
        bool Served;
        const char* Bytes;
    } cases[] = {
        {u"fvp://site/index.html", true, "<html><body>index</body></html>"},
        {u"FVP://site/index.html", true, "<html><body>index</body></html>"},
        {u"fvp://SITE/INDEX.HTML", true, "<html><body>index</body></html>"},
        {u"fvp://site/img/My%20Photo.jpg?x=1", true, "photo-bytes"},
        {u"fvp://site/a+b.html", true, "a b"},
        // The engine leaves "+" in a path as it is: without an entry read
        // with a space, the name keeps its "+".
        {u"fvp://site/c+d.html", true, "c+d"},
        {u"fvp://site/c%2Bd.html", true, "c+d"},
        {u"fvp://site/a%3Fb.html", true, "just a"},
        {u"fvp://site/%E9t%E9.html", true, "ete"},
        // The engine sends non-ASCII names percent-encoded as UTF-8.
        {u"fvp://site/%C3%A9t%C3%A9.html", true, "ete"},
        {u"fvp://site/empty.txt", true, ""},
        {u"fvp://site/docs/?x=1", true, ""},
        {u"fvp://site/docs/", false, nullptr},
        {u"fvp://site/docs", false, nullptr},
        {u"fvp://site/missing.html", false, nullptr},
        {u"fvp://site/100%.html", false, nullptr},
        {u"fvp://", false, nullptr},
        {u"fvp:", false, nullptr},
        {u"fvp://site/%C3.html", false, nullptr},
        {u"fvp://site/a%00b", false, nullptr},
        {u"http://site/index.html", false, nullptr},
    };
    for (const auto& c : cases) {
        const auto result = FetchUrl(c.Url, 7);
        SCOPED_TRACE(Folivant::StringToUtf8(c.Url));
        if (c.Served) {
            ASSERT_EQ(result.Start, S_OK);
            EXPECT_EQ(result.Bytes, c.Bytes);
            EXPECT_EQ(result.LastRead, S_FALSE);
            const auto size = static_cast<ULONG>(std::string(c.Bytes).size());
            EXPECT_EQ(result.Data, (std::vector<std::vector<ULONG>>{{13, size, size}}));
            EXPECT_EQ(result.Results, std::vector<HRESULT>{S_OK});
        } else {
            EXPECT_EQ(result.Start, INET_E_USE_DEFAULT_PROTOCOLHANDLER);
            EXPECT_TRUE(result.Data.empty());
        }
    }
    EXPECT_TRUE(messages.empty());

    // Huge and odd URLs are declined, not crashed on.
    String huge = u"fvp://site/";
    huge.append(1 << 20, u'a');
    EXPECT_EQ(FetchUrl(huge).Start, INET_E_USE_DEFAULT_PROTOCOLHANDLER);
    String hugeEscapes = u"fvp://";
    for (int i = 0; i < (1 << 18); ++i) {
        hugeEscapes += u"%2F";
    }
    EXPECT_EQ(FetchUrl(hugeEscapes).Start, INET_E_USE_DEFAULT_PROTOCOLHANDLER);
    EXPECT_EQ(FetchUrl(u"fvp://" + String(1 << 20, u'/')).Start,
              INET_E_USE_DEFAULT_PROTOCOLHANDLER);

    protocol.reset();
    EXPECT_EQ(FetchUrl(u"fvp://site/index.html").Start, INET_E_USE_DEFAULT_PROTOCOLHANDLER);
}

TEST_F(FvpResolver, ExtractionFailureShowsAMessageAndServesWhatWasRead) {
    auto archive = std::make_unique<TFailingArchive>();
    TFailingArchive* failing = archive.get();
    std::vector<String> messages;
    auto protocol = CreateFvpProtocol(std::move(archive), [&](const String& m) {
        messages.push_back(m);
        if (messages.size() == 2) {
            throw EInternetException(u"no display");
        }
    });
    for (int i = 0; i < 2; ++i) {
        const auto result = FetchUrl(u"fvp://site/x.bin?v=1");
        EXPECT_EQ(result.Start, S_OK);
        EXPECT_EQ(result.Bytes, "part");
        EXPECT_EQ(result.Results, std::vector<HRESULT>{S_OK});
    }
    EXPECT_EQ(failing->Extractions, 2) << "every request extracts anew";
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], u"File \"site/x.bin\" can't be read. Error message: disk gone.");
    EXPECT_EQ(FetchUrl(u"fvp://site/y.bin").Start, INET_E_USE_DEFAULT_PROTOCOLHANDLER);
    EXPECT_EQ(messages.size(), 2u) << "a missing entry shows nothing";

    // A "%s" in the entry name is part of the name, not a placeholder.
    EXPECT_EQ(FetchUrl(u"fvp://site/100%25s.bin").Bytes, "part");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2], u"File \"site/100%s.bin\" can't be read. Error message: disk gone.");
}

TEST_F(FvpResolver, EachRequestGetsItsOwnStream) {
    TPublication pub;
    TFvpResolver resolver(pub.Zip, nullptr);
    std::unique_ptr<TStream> first, second;
    resolver.FvpProtocolRequestStream(nullptr, u"//site/page.html", first);
    resolver.FvpProtocolRequestStream(nullptr, u"//site/page.html", second);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(first->Position(), 0);
    first->SetPosition(2);
    char buffer[4] = {};
    EXPECT_EQ(second->Read(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "page");

    // A stale stream in the slot is dropped, and a miss leaves it empty.
    resolver.FvpProtocolRequestStream(nullptr, u"//nothing", first);
    EXPECT_FALSE(first);
}
