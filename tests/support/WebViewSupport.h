#pragma once

// A real WebKit web view for tests under Xvfb: load a URL and wait for the
// outcome, run a script (also an async one) and read its result as text.
// Header-only, since only the UI tests may link WebKitGTK.

#include "support/MainLoopSupport.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <string>

namespace Folivant::Testing {

class TTestWebView {
public:
    explicit TTestWebView(WebKitWebContext* context = nullptr) {
        FView = WEBKIT_WEB_VIEW(context != nullptr ? webkit_web_view_new_with_context(context)
                                                   : webkit_web_view_new());
        g_object_ref_sink(FView);
        FWindow = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(FWindow), 800, 600);
        gtk_container_add(GTK_CONTAINER(FWindow), GTK_WIDGET(FView));
        gtk_widget_show_all(FWindow);
        g_signal_connect(FView, "load-changed",
                         G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer self) {
                             if (e == WEBKIT_LOAD_FINISHED)
                                 static_cast<TTestWebView*>(self)->FFinished = true;
                         }),
                         this);
        g_signal_connect(FView, "load-failed",
                         G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, gchar*, GError* error,
                                        gpointer self) -> gboolean {
                             auto* me = static_cast<TTestWebView*>(self);
                             me->FFailed = true;
                             me->FError = error != nullptr ? error->message : "";
                             // No error page: its own load would be taken
                             // for the next one.
                             return TRUE;
                         }),
                         this);
    }
    ~TTestWebView() {
        gtk_widget_destroy(FWindow);
        g_object_unref(FView);
    }
    TTestWebView(const TTestWebView&) = delete;
    TTestWebView& operator=(const TTestWebView&) = delete;

    WebKitWebView* View() const { return FView; }

    // Loads uri and waits until loading has finished; true when it did
    // without failing.
    bool Load(const std::string& uri,
              std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        FFinished = FFailed = false;
        FError.clear();
        webkit_web_view_load_uri(FView, uri.c_str());
        PumpUntil([&] { return FFinished; }, timeout);
        return FFinished && !FFailed;
    }
    bool Failed() const { return FFailed; }
    const std::string& Error() const { return FError; }

    // The body of an async function, awaited; its value as text, or
    // "exception: <message>".
    std::string Run(const std::string& body,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        struct TState {
            bool Done = false;
            std::string Result;
        } state;
        webkit_web_view_call_async_javascript_function(
            FView, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
            +[](GObject* view, GAsyncResult* result, gpointer data) {
                auto* st = static_cast<TState*>(data);
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_call_async_javascript_function_finish(
                    WEBKIT_WEB_VIEW(view), result, &error);
                if (value == nullptr) {
                    st->Result = std::string("exception: ") + (error ? error->message : "");
                    g_clear_error(&error);
                } else {
                    gchar* text = jsc_value_to_string(value);
                    st->Result = text != nullptr ? text : "";
                    g_free(text);
                    g_object_unref(value);
                }
                st->Done = true;
            },
            &state);
        PumpUntil([&] { return state.Done; }, timeout);
        if (!state.Done) {
            // The callback still refers to state; keep pumping until it ran.
            PumpUntil([&] { return state.Done; }, std::chrono::minutes(5));
            return "timeout";
        }
        return state.Result;
    }

private:
    WebKitWebView* FView = nullptr;
    GtkWidget* FWindow = nullptr;
    bool FFinished = false;
    bool FFailed = false;
    std::string FError;
};

} // namespace Folivant::Testing
