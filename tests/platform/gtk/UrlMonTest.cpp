#include "platform/gtk/UrlMonGtk.h"

#include "platform/gtk/Dispatcher.h"
#include "shared/AsyncPlugProto.h"
#include "shared/FvpResolver.h"

#include "support/MainLoopSupport.h"
#include "support/WebViewSupport.h"
#include "support/ZipSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

using namespace Folivant;
using namespace Folivant::Shared;
using namespace Folivant::Testing;

namespace {

void Put32BE(std::string& s, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<char>((v >> shift) & 0xFF));
}

void PutLE(std::string& s, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A PNG image of the given size, grey pixels.
std::string MakePng(std::uint32_t width, std::uint32_t height) {
    std::string raw;
    for (std::uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.append(width * 3, static_cast<char>(0x80));
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(packedSize, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
             reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()));
    packed.resize(packedSize);
    auto chunk = [](std::string& out, const char* type, const std::string& data) {
        Put32BE(out, static_cast<std::uint32_t>(data.size()));
        const std::string typed = std::string(type, 4) + data;
        out += typed;
        Put32BE(out,
                static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(typed.data()),
                                                 static_cast<uInt>(typed.size()))));
    };
    std::string png = "\x89PNG\r\n\x1a\n";
    std::string ihdr;
    Put32BE(ihdr, width);
    Put32BE(ihdr, height);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", "");
    return png;
}

// A 24-bit BMP image of the given size.
std::string MakeBmp(std::uint32_t width, std::uint32_t height) {
    const std::uint32_t row = (width * 3 + 3) & ~3u;
    std::string bmp = "BM";
    PutLE(bmp, 54 + row * height, 4);
    PutLE(bmp, 0, 4);
    PutLE(bmp, 54, 4);
    PutLE(bmp, 40, 4);
    PutLE(bmp, width, 4);
    PutLE(bmp, height, 4);
    PutLE(bmp, 1, 2);
    PutLE(bmp, 24, 2);
    PutLE(bmp, 0, 4);
    PutLE(bmp, row * height, 4);
    PutLE(bmp, 2835, 4);
    PutLE(bmp, 2835, 4);
    PutLE(bmp, 0, 4);
    PutLE(bmp, 0, 4);
    bmp.append(row * height, static_cast<char>(0x40));
    return bmp;
}

std::string FontBytes() {
    std::ifstream in("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

const char* IndexHtml = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Index</title>
<link rel="stylesheet" href="css/style.css">
<script src="js/script.js"></script>
</head><body>
<p id="text">Hello</p>
<img id="png" src="img/a.png">
<img id="bmp" src="img/b.bmp">
<img id="svg" src="img/c.svg">
<img id="spaced" src="img/My%20Photo.png">
<img id="missing" src="img/nothing.png">
<img id="accented" src="img/été.png">
</body></html>)";

const char* StyleCss = R"(@font-face { font-family: "PubFont"; src: url("../fonts/pub.ttf"); }
body { background-color: rgb(1, 2, 3); font-family: "PubFont"; })";

class UrlMon : public ::testing::Test {
protected:
    void SetUp() override {
        if (!gtk_init_check(nullptr, nullptr))
            GTEST_SKIP() << "no display";
        Platform::InstallUrlMon();
        Platform::InstallGuiDispatcher();
        InitializeProtocolRegistry();
        FContext = webkit_web_context_new();
        Platform::SetUrlMonWebContext(FContext);

        FZip = std::make_unique<TOpenedZip>(BuildZip([](Archive::TZipWriter& w) {
            w.AddBytes("site/index.html", IndexHtml);
            w.AddBytes("site/css/style.css", StyleCss);
            w.AddBytes("site/js/script.js",
                       "window.scriptRan = 6 * 7;"
                       "document.addEventListener('DOMContentLoaded', function () {"
                       "  document.getElementById('text').textContent = 'changed'; });");
            w.AddBytes("site/img/a.png", MakePng(7, 5), false);
            w.AddBytes("site/img/My Photo.png", MakePng(2, 3), false);
            w.AddBytes("site/img/b.bmp", MakeBmp(3, 9));
            w.AddBytes("site/img/\xc3\xa9t\xc3\xa9.png", MakePng(4, 6), false);
            w.AddBytes("site/img/c.svg", "<svg xmlns='http://www.w3.org/2000/svg' width='11' "
                                         "height='13'><rect width='11' height='13'/></svg>");
            w.AddBytes("site/fonts/pub.ttf", FontBytes());
            w.AddBytes("site/data.json", "{\"answer\": 42}");
            w.AddBytes("site/noext", "<!DOCTYPE html><html><body><b>plain</b></body></html>");
        }));
        FMessages.clear();
        FProtocol =
            CreateFvpProtocol(FZip->Reader(), [this](const String& m) { FMessages.push_back(m); });
    }
    void TearDown() override {
        FProtocol.reset();
        FinalizeProtocolRegistry();
        if (FContext != nullptr) {
            Platform::SetUrlMonWebContext(nullptr);
            g_object_unref(FContext);
        }
    }

    WebKitWebContext* FContext = nullptr;
    std::unique_ptr<TOpenedZip> FZip;
    std::unique_ptr<TInternetProtocol> FProtocol;
    std::vector<String> FMessages;
};

} // namespace

TEST_F(UrlMon, PageLoadsWithItsStyleScriptImagesAndFont) {
    TTestWebView view(FContext);
    ASSERT_TRUE(view.Load("fvp://site/index.html")) << view.Error();
    EXPECT_EQ(view.Run("return document.title"), "Index");
    EXPECT_EQ(view.Run("return getComputedStyle(document.body).backgroundColor"), "rgb(1, 2, 3)");
    EXPECT_EQ(view.Run("return String(window.scriptRan)"), "42");
    EXPECT_EQ(view.Run("return document.getElementById('text').textContent"), "changed");
    EXPECT_EQ(view.Run(R"(
        const sizes = [];
        for (const id of ['png', 'bmp', 'svg', 'spaced', 'missing', 'accented']) {
            const img = document.getElementById(id);
            try { await img.decode(); } catch (e) {}
            sizes.push(id + '=' + img.naturalWidth + 'x' + img.naturalHeight);
        }
        return sizes.join(' ');)"),
              "png=7x5 bmp=3x9 svg=11x13 spaced=2x3 missing=0x0 accented=4x6");
    EXPECT_EQ(view.Run(R"(
        const face = [...document.fonts].find(f => f.family.replace(/"/g, '') === 'PubFont');
        if (!face) return 'no face';
        try { await face.load(); } catch (e) { return 'failed ' + e; }
        return face.status;)"),
              "loaded");
    // fetch: a known entry with its type and length, an unknown one fails
    // the way the engine fails any missing resource.
    EXPECT_EQ(view.Run(R"(
        const r = await fetch('data.json');
        const body = await r.json();
        return r.status + ' ' + r.headers.get('content-type') + ' ' +
               r.headers.get('content-length') + ' ' + body.answer;)"),
              "200 application/json 14 42");
    EXPECT_EQ(view.Run(R"(
        try { await fetch('nothing.txt'); return 'loaded'; }
        catch (e) { return 'failed ' + e.name; })"),
              "failed TypeError");
    EXPECT_EQ(view.Run(R"(
        const xhr = new XMLHttpRequest();
        xhr.open('GET', 'css/style.css', false);
        xhr.send();
        return xhr.status + ' ' + xhr.getResponseHeader('content-type');)"),
              "200 text/css");
    EXPECT_TRUE(FMessages.empty());
}

TEST_F(UrlMon, UrlsAndNamesTheEngineSends) {
    TTestWebView view(FContext);
    // An upper-case scheme reaches the fvp component.
    ASSERT_TRUE(view.Load("FVP://site/index.html")) << view.Error();
    EXPECT_EQ(view.Run("return document.title"), "Index");
    // A page without an extension still renders as HTML.
    ASSERT_TRUE(view.Load("fvp://site/noext")) << view.Error();
    EXPECT_EQ(view.Run("return document.contentType + ' ' + document.body.textContent"),
              "text/html plain");
    // A missing page fails in the engine.
    EXPECT_FALSE(view.Load("fvp://site/nothing.html"));
    EXPECT_TRUE(view.Failed());

    // Once the scheme is unregistered its requests fail the same way, and a
    // new registration serves them again.
    FProtocol->SetActive(false);
    EXPECT_FALSE(view.Load("fvp://site/index.html"));
    FProtocol->SetActive(true);
    EXPECT_TRUE(view.Load("fvp://site/index.html")) << view.Error();
}

TEST_F(UrlMon, AThrowingRequestHandlerFailsOnlyItsRequest) {
    TInternetProtocol boom(nullptr);
    boom.SetProtocol(u"boom");
    boom.OnRequestStream = [](TInternetProtocol*, const String& request,
                              std::unique_ptr<TStream>& stream) {
        stream = std::make_unique<TMemoryStream>();
        throw EInternetException(u"handler failed for " + request);
    };
    boom.SetActive(true);
    TTestWebView view(FContext);
    EXPECT_FALSE(view.Load("boom://x/page.html"));
    EXPECT_TRUE(view.Failed());
    EXPECT_TRUE(view.Load("fvp://site/index.html")) << view.Error();
    EXPECT_EQ(view.Run("return document.title"), "Index");
}

TEST_F(UrlMon, ContentTypes) {
    const struct {
        const char* Path;
        const char* Data;
        const char* Type;
    } cases[] = {
        {"fvp://site/a.HTML", "", "text/html"},
        {"fvp://site/a.css", "", "text/css"},
        {"fvp://site/a.js", "", "text/javascript"},
        {"fvp://site/a.svg", "", "image/svg+xml"},
        {"fvp://site/a.json", "", "application/json"},
        {"fvp://site/a.woff2", "", "font/woff2"},
        {"fvp://site/a.wasm", "", "application/wasm"},
        {"fvp://site/a.mp4", "", "video/mp4"},
        {"fvp://site/a.mp3", "", "audio/mpeg"},
        {"fvp://site/x.dir/noext", "\n  <html><body>x</body></html>", "text/html"},
        {"fvp://site/noext", "<!DOCTYPE html>", "text/html"},
        {"fvp://site/img", "\x89PNG\r\n\x1a\n\0\0\0\rIHDR", "image/png"},
        {"fvp://site/", "", "text/plain"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Platform::ContentTypeFor(c.Path, c.Data), c.Type) << c.Path;
    }
    EXPECT_FALSE(Platform::ContentTypeFor("fvp://site/blob", std::string("\0\1\2\3", 4)).empty());
}

TEST(Dispatcher, CallsFromOtherThreadsRunOnTheGuiThreadWhileTheCallerWaits) {
    Platform::TGuiDispatcher dispatcher;
    const auto gui = std::this_thread::get_id();
    bool direct = false;
    dispatcher.Send([&] { direct = std::this_thread::get_id() == gui; });
    EXPECT_TRUE(direct);

    std::atomic<int> onGui{0};
    std::atomic<int> errors{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                int value = 0;
                try {
                    dispatcher.Send([&] {
                        if (std::this_thread::get_id() == gui)
                            ++onGui;
                        value = i;
                        if (i % 10 == t)
                            throw EInternetException(u"carried");
                    });
                } catch (const EInternetException& e) {
                    if (e.Message() == u"carried")
                        ++errors;
                }
                // The caller sees the call's effects once Send returns.
                if (value != i)
                    ADD_FAILURE() << "Send returned before the call ran";
            }
            ++finished;
        });
    }
    EXPECT_TRUE(PumpUntil([&] { return finished == 4; }));
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(onGui.load(), 200);
    EXPECT_EQ(errors.load(), 20);
}
