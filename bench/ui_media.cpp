// Media from the archive against the same media from a file. Entries are
// encrypted with a byte-serial cipher, so an element cannot start before the
// bytes it needs are decrypted; the reference is therefore the time to
// decrypt the entry alone plus the time to "canplay" of the same video read
// from file://, both measured in this run. Also measured: that seeking and
// playing again decode nothing, the resident memory above the same page
// without the video, and the other way to reach the engine (the page reads
// the entry itself into a Blob and plays an object URL).

#include "base/Classes.h"
#include "base/Text.h"
#include "archive/ZipReader.h"
#include "archive/ZipWriter.h"
#include "platform/gtk/MediaBridgeGtk.h"
#include "shared/FvpResolver.h"
#include "shared/MediaEntries.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Folivant;
using TClock = std::chrono::steady_clock;

namespace {

double Ms(TClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The 50 MB test video, made once and kept in the temporary folder.
std::string VideoFile(const std::string& dir) {
    const std::string path = dir + "/video-50mb.webm";
    if (ReadFile(path).size() < 45'000'000) {
        const std::string command = "gst-launch-1.0 -q videotestsrc num-buffers=500 pattern=snow ! "
                                    "video/x-raw,width=640,height=480,framerate=25/1 ! vp8enc "
                                    "deadline=1 target-bitrate=21000000 "
                                    "end-usage=cbr ! webmmux ! filesink location=" +
                                    path;
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "cannot encode the test video\n");
            std::exit(1);
        }
    }
    return path;
}

// Resident memory of this process and every process below it (the engine's
// web and network processes, also inside their sandbox), in KiB.
long ResidentKiB() {
    std::map<int, int> parent;
    std::map<int, long> rss;
    DIR* proc = opendir("/proc");
    for (dirent* e; proc != nullptr && (e = readdir(proc)) != nullptr;) {
        const int pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("PPid:", 0) == 0)
                parent[pid] = std::atoi(line.c_str() + 5);
            else if (line.rfind("VmRSS:", 0) == 0)
                rss[pid] = std::atol(line.c_str() + 6);
        }
    }
    if (proc != nullptr)
        closedir(proc);
    std::set<int> ours = {getpid()};
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, ppid] : parent)
            if (ours.count(ppid) != 0 && ours.insert(pid).second)
                grew = true;
    }
    long total = 0;
    for (int pid : ours)
        total += rss[pid];
    return total;
}

template <typename F> bool RunUntil(F done, int timeoutMs) {
    const auto end = TClock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (TClock::now() > end)
            return false;
        g_main_context_iteration(nullptr, FALSE);
        if (!g_main_context_pending(nullptr))
            g_usleep(500);
    }
    return true;
}

class TBench {
public:
    TBench(const std::string& archive) : FArchive(archive) {
        FStream = std::make_unique<TReadOnlyMemoryStream>(
            FArchive.data(), static_cast<std::int64_t>(FArchive.size()));
        FZip.Password = Archive::ArchivePassword;
        FZip.SetStream(FStream.get());
        FResolver = std::make_unique<Shared::TFvpResolver>(FZip, [](const String&) {});
        FBridge = std::make_unique<Platform::TMediaBridge>(Shared::MediaEntrySource(FZip));
    }

    Archive::TZipReader& Zip() { return FZip; }
    Platform::TMediaBridge& Bridge() { return *FBridge; }

    // A fresh engine (its own web and network processes) with the
    // publication's scheme and the media script.
    void NewView(bool sandbox = true) {
        CloseView();
        FContext = webkit_web_context_new();
        webkit_web_context_set_sandbox_enabled(FContext, sandbox);
        webkit_web_context_register_uri_scheme(FContext, "fvp", &TBench::Scheme, this, nullptr);
        WebKitUserContentManager* content = webkit_user_content_manager_new();
        FBridge->Install(content);
        WebKitWebsitePolicies* policies =
            webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, nullptr);
        WebKitSettings* settings = webkit_settings_new();
        webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);
        FView = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", FContext,
                                             "user-content-manager", content, "website-policies",
                                             policies, "settings", settings, nullptr));
        g_object_unref(settings);
        g_object_unref(policies);
        g_object_unref(content);
        g_signal_connect(FView, "notify::title",
                         G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
                             static_cast<TBench*>(data)->TitleChanged();
                         }),
                         this);
        FWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_default_size(GTK_WINDOW(FWindow), 700, 540);
        gtk_container_add(GTK_CONTAINER(FWindow), GTK_WIDGET(FView));
        gtk_widget_show_all(FWindow);
    }

    void CloseView() {
        if (FWindow != nullptr) {
            g_signal_handlers_disconnect_by_data(FView, this);
            gtk_widget_destroy(FWindow);
            FWindow = nullptr;
            FView = nullptr;
            g_object_unref(FContext);
            FContext = nullptr;
            // Let the engine's processes go away.
            RunUntil([] { return false; }, 500);
        }
    }

    // Loads uri and waits for a title starting with "canplay" or "error";
    // gives the milliseconds from the load to it, or -1. Samples the
    // resident memory meanwhile.
    double TimeToTitle(const std::string& uri, std::string* title = nullptr,
                       long* peakKiB = nullptr, int extraMs = 0) {
        FTitle.clear();
        const auto start = TClock::now();
        webkit_web_view_load_uri(FView, uri.c_str());
        long peak = 0;
        auto sample = TClock::now();
        const bool ok = RunUntil(
            [&] {
                if (peakKiB != nullptr && TClock::now() - sample > std::chrono::milliseconds(20)) {
                    peak = std::max(peak, ResidentKiB());
                    sample = TClock::now();
                }
                return FTitle.rfind("canplay", 0) == 0 || FTitle.rfind("error", 0) == 0;
            },
            120000);
        const double ms = Ms(FTitleAt - start);
        if (peakKiB != nullptr) {
            const auto end = TClock::now() + std::chrono::milliseconds(extraMs);
            while (TClock::now() < end) {
                RunUntil([] { return false; }, 20);
                peak = std::max(peak, ResidentKiB());
            }
            *peakKiB = peak;
        }
        if (title != nullptr)
            *title = FTitle;
        return ok && FTitle.rfind("canplay", 0) == 0 ? ms : -1;
    }

    std::string Call(const std::string& body) {
        struct TCall {
            bool Done = false;
            std::string Result;
        } call;
        webkit_web_view_call_async_javascript_function(
            FView, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
            [](GObject* view, GAsyncResult* result, gpointer data) {
                auto* c = static_cast<TCall*>(data);
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                    WEBKIT_WEB_VIEW(view), result, &error);
                if (value == nullptr) {
                    c->Result = std::string("error: ") + (error != nullptr ? error->message : "?");
                    g_clear_error(&error);
                } else {
                    char* s = jsc_value_to_string(value);
                    c->Result = s;
                    g_free(s);
                    g_object_unref(value);
                }
                c->Done = true;
            },
            &call);
        RunUntil([&] { return call.Done; }, 120000);
        return call.Result;
    }

private:
    void TitleChanged() {
        const char* t = webkit_web_view_get_title(FView);
        FTitle = t != nullptr ? t : "";
        FTitleAt = TClock::now();
    }

    // Answers fvp: as the content protocol does: the entry decoded from the
    // archive for every request.
    static void Scheme(WebKitURISchemeRequest* request, gpointer data) {
        try {
            auto* self = static_cast<TBench*>(data);
            const std::string uri = webkit_uri_scheme_request_get_uri(request);
            const String name =
                self->FResolver->FindEntry(Utf8ToString(uri.substr(uri.find(':') + 1)));
            if (name.empty()) {
                GError* error =
                    g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "no such entry");
                webkit_uri_scheme_request_finish_error(request, error);
                g_error_free(error);
                return;
            }
            auto* bytes = new TMemoryStream();
            self->FZip.ExtractToStream(name, *bytes);
            GBytes* body = g_bytes_new_with_free_func(
                bytes->Memory(), static_cast<gsize>(bytes->Size()),
                [](gpointer p) { delete static_cast<TMemoryStream*>(p); }, bytes);
            GInputStream* stream = g_memory_input_stream_new_from_bytes(body);
            const bool html = uri.find(".html") != std::string::npos;
            webkit_uri_scheme_request_finish(request, stream, bytes->Size(),
                                             html ? "text/html" : "video/webm");
            g_object_unref(stream);
            g_bytes_unref(body);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "scheme handler: %s\n", e.what());
        }
    }

    std::string FArchive;
    std::unique_ptr<TReadOnlyMemoryStream> FStream;
    Archive::TZipReader FZip;
    std::unique_ptr<Shared::TFvpResolver> FResolver;
    std::unique_ptr<Platform::TMediaBridge> FBridge;
    WebKitWebContext* FContext = nullptr;
    WebKitWebView* FView = nullptr;
    GtkWidget* FWindow = nullptr;
    std::string FTitle;
    TClock::time_point FTitleAt;
};

std::string Page(const std::string& src) {
    return "<html><body>" +
           (src.empty()
                ? std::string("<p>no video</p><script>document.title='canplay'</script>")
                : "<video id=v muted preload=auto src=\"" + src +
                      "\"></video><script>const v=document.getElementById('v');"
                      "v.addEventListener('canplay',()=>{document.title='canplay'},{once:true});"
                      "v.addEventListener('error',()=>{document.title='error "
                      "'+v.error.code},{once:true});"
                      "</script>") +
           "</body></html>";
}

// The page reads the entry itself and plays it from an object URL.
const char* BlobPage =
    "<html><body><video id=v muted preload=auto></video><script>const "
    "v=document.getElementById('v');"
    "v.addEventListener('canplay',()=>{document.title='canplay'},{once:true});"
    "v.addEventListener('error',()=>{document.title='error '+v.error.code},{once:true});"
    "fetch('v.webm').then(r=>r.blob()).then(b=>{v.setAttribute('src',URL.createObjectURL(b))},"
    "e=>{document.title='error fetch '+e});</script></body></html>";

} // namespace

int main(int argc, char** argv) {
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "ui_media: no display\n");
        return 1;
    }
    // Beside the program: the engine's sandbox gives its processes a /tmp
    // of their own, so a page in the host's /tmp could not be read.
    char exe[4096] = {};
    const ssize_t exeLength = readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string exePath(exe, exeLength > 0 ? static_cast<std::size_t>(exeLength) : 0);
    const std::string dir = exePath.substr(0, exePath.rfind('/')) + "/ui_media_files";
    g_mkdir_with_parents(dir.c_str(), 0700);
    const std::string videoPath = VideoFile(dir);
    const std::string video = ReadFile(videoPath);
    { std::ofstream(dir + "/file.html") << Page("file://" + videoPath); }

    TMemoryStream out;
    {
        Archive::TZipWriter writer(out);
        for (int run = 0; run < 4; ++run)
            writer.AddBytes("site/play" + std::to_string(run) + ".html",
                            Page("fvp://site/v.webm?run=" + std::to_string(run)));
        writer.AddBytes("site/empty.html", Page(""));
        writer.AddBytes("site/blob.html", BlobPage);
        writer.AddBytes("site/v.webm", video);
        writer.Finish();
    }
    TBench bench(out.ToString());
    std::printf("video: %.1f MB WebM (VP8); archive %.1f MB\n", video.size() / 1e6,
                out.Size() / 1e6);

    std::vector<double> decrypt;
    for (int i = 0; i < 3; ++i) {
        TMemoryStream entry;
        const auto start = TClock::now();
        bench.Zip().ExtractToStream(u"site/v.webm", entry);
        decrypt.push_back(Ms(TClock::now() - start));
        if (entry.Size() != static_cast<std::int64_t>(video.size())) {
            std::fprintf(stderr, "ui_media: the entry decodes to %lld bytes\n",
                         static_cast<long long>(entry.Size()));
            return 1;
        }
    }

    // The reference reads its file in an engine without the sandbox, whose
    // processes could not open the file; the archive runs as the runtime
    // runs it, sandboxed. Each engine is warmed first (process start, the
    // media framework's registry).
    std::vector<double> file, archive;
    bench.NewView(false);
    bench.TimeToTitle("file://" + dir + "/file.html");
    for (int run = 0; run < 3; ++run) {
        std::string fileTitle;
        file.push_back(bench.TimeToTitle("file://" + dir + "/file.html", &fileTitle));
        if (file.back() < 0)
            std::fprintf(stderr, "file:// page: title \"%s\"\n", fileTitle.c_str());
    }
    bench.NewView();
    bench.TimeToTitle("fvp://site/play3.html");
    for (int run = 0; run < 3; ++run)
        // A query of its own per run: the entry is decoded anew each time.
        archive.push_back(bench.TimeToTitle("fvp://site/play" + std::to_string(run) + ".html"));

    // Seeking and playing again after the first play.
    const std::uint64_t before = bench.Bridge().Decodings();
    const std::string again = bench.Call(
        "const v=document.getElementById('v');"
        "const seek=(t)=>new "
        "Promise(d=>{v.addEventListener('seeked',d,{once:true});v.currentTime=t;});"
        "await v.play(); await seek(v.duration/2); await seek(v.duration-1);"
        "await new Promise(d=>{if(v.ended)d();else v.addEventListener('ended',d,{once:true});});"
        "await v.play(); await new Promise(d=>setTimeout(d,300));"
        "return 'ended then t='+v.currentTime.toFixed(2);");
    const std::uint64_t after = bench.Bridge().Decodings();

    std::string blobTitle;
    const double blob = bench.TimeToTitle("fvp://site/blob.html", &blobTitle);

    // Memory: a fresh engine for each page, sampled until a second after
    // canplay.
    long emptyPeak = 0, videoPeak = 0;
    bench.NewView();
    bench.TimeToTitle("fvp://site/empty.html", nullptr, &emptyPeak, 1000);
    bench.NewView();
    bench.TimeToTitle("fvp://site/play3.html?memory", nullptr, &videoPeak, 1000);
    bench.CloseView();

    const double d = Median(decrypt), f = Median(file), a = Median(archive);
    std::printf("decrypt entry alone:            %8.1f ms (median of 3)\n", d);
    std::printf("canplay from file://:           %8.1f ms (median of 3)\n", f);
    std::printf("canplay from the archive:       %8.1f ms (median of 3; runs %.0f %.0f %.0f)\n", a,
                archive[0], archive[1], archive[2]);
    std::printf("reference decrypt + file://:    %8.1f ms\n", d + f);
    std::printf("ratio archive / reference:      %8.2f (goal <= 1.30)\n", a / (d + f));
    std::printf("seek, play to end, play again:  %s; decodings %llu\n", again.c_str(),
                static_cast<unsigned long long>(after - before));
    if (blob < 0)
        std::printf("page reads entry into a Blob:   fails (title \"%s\")\n", blobTitle.c_str());
    else
        std::printf("page reads entry into a Blob:   %8.1f ms to canplay (%.2f x the endpoint)\n",
                    blob, blob / a);
    std::printf("peak RSS, page without video:   %8.1f MiB (all processes)\n", emptyPeak / 1024.0);
    std::printf("peak RSS, page with the video:  %8.1f MiB\n", videoPeak / 1024.0);
    std::printf("peak RSS above the empty page:  %8.1f MiB (%.2f x the entry)\n",
                (videoPeak - emptyPeak) / 1024.0,
                (videoPeak - emptyPeak) * 1024.0 / static_cast<double>(video.size()));
    return 0;
}
