// The reference for the runtime's start-up and memory figures: the smallest
// WebKitGTK program that shows a page, with the same engine configuration as
// the runtime (sandboxed web process, no compositing under Xvfb). It loads
// the file:// page given as its argument, prints "loaded" when the page has
// finished loading, and runs until SIGTERM.

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <csignal>
#include <cstdio>

namespace {

void OnLoad(WebKitWebView*, WebKitLoadEvent event, gpointer) {
    if (event == WEBKIT_LOAD_FINISHED) {
        std::puts("loaded");
        std::fflush(stdout);
    }
}

gboolean OnSignal(gpointer) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !gtk_init_check(&argc, &argv)) {
        std::fputs("usage: ui_minimal_webkit URI (needs a display)\n", stderr);
        return 2;
    }
    webkit_web_context_set_sandbox_enabled(webkit_web_context_get_default(), TRUE);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 800, 600);
    GtkWidget* view = webkit_web_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    g_signal_connect(view, "load-changed", G_CALLBACK(OnLoad), nullptr);
    g_unix_signal_add(SIGTERM, OnSignal, nullptr);
    gtk_widget_show_all(window);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_main();
    return 0;
}
