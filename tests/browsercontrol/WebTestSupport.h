#pragma once

// Helpers for tests that drive real web views in this process: GTK set up
// once, an fvp site served from memory straight through WebKit, the main
// loop run until a condition holds, page scripts evaluated, and a main
// window face that records what the host functions asked of it.

#include "base/Text.h"
#include "platform/gtk/UrlMonGtk.h"
#include "shared/GlobalMainForm.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace Folivant::Testing {

inline bool EnsureGtk() {
    static const bool ok = gtk_init_check(nullptr, nullptr) != FALSE;
    return ok;
}

// Pages served for fvp://NAME (the text after "fvp://", without query).
inline std::map<std::string, std::pair<std::string, std::string>>& TestSitePages() {
    static std::map<std::string, std::pair<std::string, std::string>> pages;
    return pages;
}

// Every fvp URL the engine asked the site for, in order.
inline std::vector<std::string>& TestSiteRequests() {
    static std::vector<std::string> requests;
    return requests;
}

inline void ServeTestSiteRequest(WebKitURISchemeRequest* request, gpointer) {
    std::string uri = webkit_uri_scheme_request_get_uri(request);
    // As the content protocol answers them.
    if (!Platform::IsPublicationRequest(request)) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "not in the site");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    TestSiteRequests().push_back(uri);
    std::string name = uri.substr(6);
    auto cut = name.find_first_of("?#");
    if (cut != std::string::npos)
        name = name.substr(0, cut);
    while (!name.empty() && name.back() == '/')
        name.pop_back();
    auto& pages = TestSitePages();
    auto it = pages.find(name);
    if (it == pages.end()) {
        GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "not in the site");
        webkit_uri_scheme_request_finish_error(request, error);
        g_error_free(error);
        return;
    }
    GInputStream* stream = g_memory_input_stream_new_from_data(
        g_memdup2(it->second.second.data(), it->second.second.size()),
        static_cast<gssize>(it->second.second.size()), g_free);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(it->second.second.size()),
                                     it->second.first.c_str());
    g_object_unref(stream);
}

// Registers the fvp scheme of the default context with the pages above.
inline void UseTestSite(std::map<std::string, std::string> htmlPages) {
    static bool registered = false;
    if (!registered) {
        registered = true;
        webkit_web_context_register_uri_scheme(webkit_web_context_get_default(), "fvp",
                                               ServeTestSiteRequest, nullptr, nullptr);
        // As the content protocol registers it.
        WebKitSecurityManager* security =
            webkit_web_context_get_security_manager(webkit_web_context_get_default());
        webkit_security_manager_register_uri_scheme_as_secure(security, "fvp");
        webkit_security_manager_register_uri_scheme_as_cors_enabled(security, "fvp");
        webkit_security_manager_register_uri_scheme_as_display_isolated(security, "fvp");
    }
    for (auto& [name, html] : htmlPages)
        TestSitePages()[name] = {"text/html", html};
}

inline void AddTestSiteFile(const std::string& name, const std::string& mime,
                            const std::string& bytes) {
    TestSitePages()[name] = {mime, bytes};
}

// Runs the main loop until done() holds or the time is up.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        g_main_context_iteration(nullptr, FALSE);
        if (!g_main_context_pending(nullptr))
            g_usleep(1000);
    }
    return true;
}

inline void RunFor(int ms) {
    RunUntil([] { return false; }, ms);
}

// Evaluates a script in the page and gives its result as JSON text (the
// script should produce a JSON-able value), or "!error: message".
inline std::string EvalJs(WebKitWebView* view, const std::string& script, int timeoutMs = 15000) {
    struct TState {
        bool Done = false;
        std::string Result;
    } state;
    std::string wrapped = "JSON.stringify((function(){ return (" + script + "); })())";
    webkit_web_view_evaluate_javascript(
        view, wrapped.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* s = static_cast<TState*>(data);
            GError* error = nullptr;
            JSCValue* value =
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (value == nullptr) {
                s->Result = std::string("!error: ") + (error ? error->message : "");
                if (error)
                    g_error_free(error);
            } else {
                if (jsc_value_is_undefined(value)) {
                    s->Result = "undefined";
                } else {
                    char* text = jsc_value_to_string(value);
                    s->Result = text;
                    g_free(text);
                }
                g_object_unref(value);
            }
            s->Done = true;
        },
        &state);
    if (!RunUntil([&] { return state.Done; }, timeoutMs))
        return "!timeout";
    return state.Result;
}

inline bool WaitLoaded(WebKitWebView* view, const std::string& uri, int timeoutMs = 15000) {
    return RunUntil(
        [&] {
            const char* now = webkit_web_view_get_uri(view);
            return now != nullptr && uri == now && !webkit_web_view_is_loading(view);
        },
        timeoutMs);
}

// A main window face that records the host operations asked of it.
class TRecordingMainForm : public Shared::TGlobalMainForm {
public:
    std::vector<std::string> Calls;
    std::vector<std::string> DownloadKinds; // URL endings HandleDownloableFiles takes
    bool Runtime = true;
    bool FailOpenFile = false;
    int CloseCount = 0;
    String FormCaption = u"Test publication";
    int FormLeft = 100, FormTop = 80, FormWidth = 640, FormHeight = 480;

    bool IsRuntime() override { return Runtime; }
    bool OpenFile(const String& filePath) override {
        Calls.push_back("OpenFile " + StringToUtf8(filePath));
        if (FailOpenFile)
            throw Folivant::Exception(u"File \"" + filePath + u"\" do not exists.");
        return true;
    }
    bool PlayWavSound(const String& wavPath, bool loop) override {
        Calls.push_back("PlayWavSound " + StringToUtf8(wavPath) + (loop ? " loop" : " once"));
        return true;
    }
    void DownloadFile(const String& url) override {
        Calls.push_back("DownloadFile " + StringToUtf8(url));
    }
    bool HandleDownloableFiles(const String& url) override {
        std::string u = StringToUtf8(url);
        Calls.push_back("HandleDownloableFiles " + u);
        for (const auto& kind : DownloadKinds)
            if (u.size() >= kind.size() &&
                u.compare(u.size() - kind.size(), kind.size(), kind) == 0)
                return true;
        return false;
    }
    void StopWavSound() override { Calls.push_back("StopWavSound"); }
    String Caption() const override { return FormCaption; }
    int Left() const override { return FormLeft; }
    int Top() const override { return FormTop; }
    int Width() const override { return FormWidth; }
    int Height() const override { return FormHeight; }
    void Close() override { ++CloseCount; }

    bool Called(const std::string& call) const {
        for (const auto& c : Calls)
            if (c == call)
                return true;
        return false;
    }
};

} // namespace Folivant::Testing
