// Loading pages over fvp:// against the same files from file:// in the same
// engine: a page with 1,000 small images, and the sample publication's index
// page. Also the host's own cost of one request (Start to the last Read) for
// a 1 KB entry, without the engine.
//
// Prints each figure and the ratio fvp/file measured in this run.

#include "base/Classes.h"
#include "archive/ZipReader.h"
#include "archive/ZipWriter.h"
#include "platform/gtk/UrlMonGtk.h"
#include "shared/AsyncPlugProto.h"
#include "shared/FvpResolver.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using namespace Folivant;
using namespace Folivant::Shared;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void Put32BE(std::string& s, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        s.push_back(static_cast<char>((v >> shift) & 0xFF));
}

// A small PNG; seed varies the pixels so that no two images are equal.
std::string MakePng(std::uint32_t size, std::uint32_t seed) {
    std::string raw;
    for (std::uint32_t y = 0; y < size; ++y) {
        raw.push_back(0);
        for (std::uint32_t x = 0; x < size * 3; ++x)
            raw.push_back(static_cast<char>((seed * 31 + x * 7 + y * 13) & 0xFF));
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
    Put32BE(ihdr, size);
    Put32BE(ihdr, size);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);
    chunk(png, "IHDR", ihdr);
    chunk(png, "IDAT", packed);
    chunk(png, "IEND", "");
    return png;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Packs every file below dir as prefix + its relative path.
void PackFolder(Archive::TZipWriter& writer, const fs::path& dir, const std::string& prefix) {
    std::vector<fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file())
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files)
        writer.AddBytes(prefix + fs::relative(f, dir).generic_string(), ReadFile(f));
}

class TView {
public:
    explicit TView(WebKitWebContext* context) {
        FView = WEBKIT_WEB_VIEW(webkit_web_view_new_with_context(context));
        g_object_ref_sink(FView);
        FWindow = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(FWindow), 1024, 768);
        gtk_container_add(GTK_CONTAINER(FWindow), GTK_WIDGET(FView));
        gtk_widget_show_all(FWindow);
        g_signal_connect(FView, "load-changed",
                         G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer self) {
                             if (e == WEBKIT_LOAD_FINISHED)
                                 static_cast<TView*>(self)->FDone = true;
                         }),
                         this);
    }
    ~TView() {
        gtk_widget_destroy(FWindow);
        g_object_unref(FView);
    }

    static void Pump(const std::function<bool()>& until) {
        const auto end = Clock::now() + std::chrono::seconds(120);
        while (!until() && Clock::now() < end)
            g_main_context_iteration(nullptr, TRUE);
    }

    // Seconds from load_uri to the load event (which waits for every image).
    double Load(const std::string& uri) {
        FDone = false;
        const auto start = Clock::now();
        webkit_web_view_load_uri(FView, uri.c_str());
        Pump([&] { return FDone; });
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    std::string Eval(const std::string& script) {
        bool done = false;
        std::string out;
        struct TState {
            bool* Done;
            std::string* Out;
        } state{&done, &out};
        webkit_web_view_evaluate_javascript(
            FView, script.c_str(), -1, nullptr, nullptr, nullptr,
            +[](GObject* view, GAsyncResult* result, gpointer data) {
                auto* st = static_cast<TState*>(data);
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view),
                                                                             result, nullptr);
                if (value != nullptr) {
                    gchar* text = jsc_value_to_string(value);
                    *st->Out = text != nullptr ? text : "";
                    g_free(text);
                    g_object_unref(value);
                }
                *st->Done = true;
            },
            &state);
        Pump([&] { return done; });
        return out;
    }

private:
    WebKitWebView* FView;
    GtkWidget* FWindow;
    bool FDone = false;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Alternates the two URLs rounds times (after one warm-up load of each) and
// prints the median load times and their ratio.
void Compare(TView& view, const char* what, const std::string& fvp, const std::string& file,
             int rounds, const std::string& check) {
    view.Load(fvp);
    view.Load(file);
    std::vector<double> a, b;
    for (int i = 0; i < rounds; ++i) {
        a.push_back(view.Load(fvp));
        if (i == 0 && !check.empty())
            std::printf("%s: fvp check %s\n", what, view.Eval(check).c_str());
        b.push_back(view.Load(file));
        if (i == 0 && !check.empty())
            std::printf("%s: file check %s\n", what, view.Eval(check).c_str());
    }
    // Other work on the machine only ever adds time, so the fastest load of
    // each kind is the steadiest figure; the medians are printed beside it.
    const double ma = Median(a), mb = Median(b);
    const double fa = *std::min_element(a.begin(), a.end());
    const double fb = *std::min_element(b.begin(), b.end());
    std::printf("%s: fvp:// %.1f ms, file:// %.1f ms (fastest of %d), ratio %.3f; "
                "medians %.1f / %.1f ms, ratio %.3f\n",
                what, fa * 1000, fb * 1000, rounds, fa / fb, ma * 1000, mb * 1000, ma / mb);
}

} // namespace

int main(int argc, char** argv) {
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "ui_protocol_images: no display\n");
        return 1;
    }
    const fs::path dir = fs::temp_directory_path() / ("folivant-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);

    // The 1,000-image site, on disk and in an archive.
    std::string html = "<!DOCTYPE html><html><head><meta charset='utf-8'><title>images</title>"
                       "</head><body>";
    TMemoryStream archive;
    Archive::TZipWriter writer(archive);
    for (int i = 0; i < 1000; ++i) {
        const std::string name = "img/i" + std::to_string(i) + ".png";
        const std::string png = MakePng(8, static_cast<std::uint32_t>(i));
        WriteFile(dir / "images" / name, png);
        writer.AddBytes("images/" + name, png, false);
        html += "<img src='" + name + "'>";
    }
    html += "</body></html>";
    WriteFile(dir / "images" / "index.html", html);
    writer.AddBytes("images/index.html", html);

    // The sample publication's site, under a folder of its own so that its
    // relative links resolve inside the archive.
    const char* sourceDir = std::getenv("FOLIVANT_SOURCE_DIR");
    const fs::path source =
        sourceDir != nullptr ? fs::path(sourceDir) : fs::path(__FILE__).parent_path().parent_path();
    const fs::path demo = source / "examples" / "demo" / "site" / "demo";
    const bool haveDemo = fs::exists(demo / "index.html");
    if (haveDemo)
        PackFolder(writer, demo, "demo/");
    writer.Finish();

    Archive::TZipReader zip;
    zip.Password = Archive::ArchivePassword;
    zip.SetStream(&archive);

    Platform::InitializeContentProtocol();
    InitializeProtocolRegistry();
    WebKitWebContext* context = webkit_web_context_new();
    webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    Platform::SetUrlMonWebContext(context);
    int messages = 0;
    auto protocol = CreateFvpProtocol(zip, [&](const String&) { ++messages; });

    {
        TView view(context);
        Compare(
            view, "1000 images", "fvp://images/index.html",
            "file://" + (dir / "images" / "index.html").string(), 11,
            "String([...document.images].filter(i => i.complete && i.naturalWidth == 8).length)");
        if (haveDemo)
            Compare(
                view, "demo index", "fvp://demo/index.html",
                "file://" + (demo / "index.html").string(), 31,
                "document.styleSheets.length + ' sheets, ' + document.images.length + ' images'");
        else
            std::printf("demo index: examples/demo/site/demo/index.html not found, skipped\n");
    }

    // The host's cost of one request: Start to the last Read of a 1 KB entry,
    // through the registry, the dispatcher's direct path, the lookup and the
    // extraction, as the WebKit callback runs it.
    TMemoryStream small;
    {
        Archive::TZipWriter w(small);
        w.AddBytes("site/one.bin", std::string(1024, 'x'));
        w.AddBytes("site/other.bin", "y");
        w.Finish();
    }
    Archive::TZipReader smallZip;
    smallZip.Password = Archive::ArchivePassword;
    smallZip.SetStream(&small);
    protocol = CreateFvpProtocol(smallZip, nullptr);
    class TSink : public IInternetProtocolSink {
    public:
        HRESULT QueryInterface(const TGUID&, void**) override { return E_NOINTERFACE; }
        ULONG AddRef() override { return 1; }
        ULONG Release() override { return 1; }
        HRESULT Switch(TProtocolData*) override { return E_NOTIMPL; }
        HRESULT ReportProgress(ULONG, const char16_t*) override { return S_OK; }
        HRESULT ReportData(DWORD, ULONG, ULONG) override { return S_OK; }
        HRESULT ReportResult(HRESULT, DWORD, const char16_t*) override { return S_OK; }
    } sink;
    TComPtr<IClassFactory> factory(new TInternetProtocolHandlerFactory);
    constexpr int Requests = 20000;
    std::size_t total = 0;
    char buffer[64 * 1024];
    const auto start = Clock::now();
    for (int i = 0; i < Requests; ++i) {
        TComPtr<IInternetProtocol> handler;
        factory->CreateInstance(nullptr, IID_IInternetProtocol, handler.Out());
        if (handler->Start(u"fvp://site/one.bin", &sink, nullptr, 0, 0) != S_OK)
            break;
        HRESULT hr;
        do {
            ULONG read = 0;
            hr = handler->Read(buffer, sizeof buffer, &read);
            total += read;
        } while (hr == E_PENDING);
        handler->Terminate(0);
    }
    const double us =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count() / Requests;
    std::printf("host overhead per 1 KB request (Start to last Read): %.2f us (%zu bytes served)\n",
                us, total);

    protocol.reset();
    FinalizeProtocolRegistry();
    Platform::SetUrlMonWebContext(nullptr);
    g_object_unref(context);
    fs::remove_all(dir);
    return messages == 0 && total == std::size_t(Requests) * 1024 ? 0 : 1;
}
