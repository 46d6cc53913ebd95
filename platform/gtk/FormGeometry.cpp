#include "platform/gtk/FormGeometry.h"

#include "platform/ui/Application.h"

#include <gtk/gtk.h>

#include <algorithm>

namespace Folivant::Platform {

namespace {

struct TWanted {
    int Width = 0;
    int Height = 0;
    int MinWidth = 0;
    int MinHeight = 0;
    bool HasSize = false;
    bool HasPosition = false;
    int Left = 0;
    int Top = 0;
    bool Corrected = false;
};

TWanted& Wanted(GtkWindow* window) {
    auto* wanted = static_cast<TWanted*>(g_object_get_data(G_OBJECT(window), "folivant-bounds"));
    if (wanted == nullptr) {
        wanted = new TWanted();
        g_object_set_data_full(G_OBJECT(window), "folivant-bounds", wanted,
                               [](gpointer p) { delete static_cast<TWanted*>(p); });
    }
    return *wanted;
}

// The frame's extra width and height around the client area, 0 without a
// window manager.
void FrameExtra(GtkWindow* window, int& dx, int& dy) {
    dx = dy = 0;
    GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
    if (gdk == nullptr || !gtk_widget_get_mapped(GTK_WIDGET(window)))
        return;
    GdkRectangle frame;
    gdk_window_get_frame_extents(gdk, &frame);
    dx = std::max(0, frame.width - gdk_window_get_width(gdk));
    dy = std::max(0, frame.height - gdk_window_get_height(gdk));
}

void ApplySize(GtkWindow* window, TWanted& wanted) {
    int dx = 0, dy = 0;
    FrameExtra(window, dx, dy);
    int width = std::max(1, wanted.Width - dx);
    int height = std::max(1, wanted.Height - dy);
    if (wanted.MinWidth > 0 || wanted.MinHeight > 0) {
        GdkGeometry hints{};
        hints.min_width = std::max(1, wanted.MinWidth - dx);
        hints.min_height = std::max(1, wanted.MinHeight - dy);
        gtk_window_set_geometry_hints(window, nullptr, &hints, GDK_HINT_MIN_SIZE);
    }
    // A window that is not resizable takes its size from its contents'
    // request, so the client area asks for the size itself.
    GtkWidget* child = gtk_bin_get_child(GTK_BIN(window));
    if (child != nullptr) {
        if (!gtk_window_get_resizable(window))
            gtk_widget_set_size_request(child, width, height);
        else
            gtk_widget_set_size_request(child, -1, -1);
    }
    gtk_window_set_default_size(window, width, height);
    gtk_window_resize(window, width, height);
}

gboolean OnConfigure(GtkWidget* widget, GdkEvent*, gpointer) {
    GuardCallback([&] {
        GtkWindow* window = GTK_WINDOW(widget);
        TWanted& wanted = Wanted(window);
        if (wanted.Corrected || !wanted.HasSize)
            return;
        int dx = 0, dy = 0;
        FrameExtra(window, dx, dy);
        if (dx == 0 && dy == 0)
            return;
        wanted.Corrected = true;
        ApplySize(window, wanted);
        if (wanted.HasPosition)
            gtk_window_move(window, wanted.Left, wanted.Top);
    });
    return FALSE;
}

void Watch(GtkWindow* window) {
    if (g_object_get_data(G_OBJECT(window), "folivant-bounds-watch") != nullptr)
        return;
    g_object_set_data(G_OBJECT(window), "folivant-bounds-watch", GINT_TO_POINTER(1));
    g_signal_connect(window, "configure-event", G_CALLBACK(OnConfigure), nullptr);
}

} // namespace

TOuterBounds GetOuterBounds(GtkWindow* window) {
    TOuterBounds bounds;
    TWanted& wanted = Wanted(window);
    GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
    if (gdk != nullptr && gtk_widget_get_mapped(GTK_WIDGET(window))) {
        GdkRectangle frame;
        gdk_window_get_frame_extents(gdk, &frame);
        bounds = {frame.x, frame.y, frame.width, frame.height};
        return bounds;
    }
    int width = 0, height = 0;
    gtk_window_get_size(window, &width, &height);
    bounds.Width = wanted.HasSize ? wanted.Width : width;
    bounds.Height = wanted.HasSize ? wanted.Height : height;
    if (wanted.HasPosition) {
        bounds.Left = wanted.Left;
        bounds.Top = wanted.Top;
    } else {
        gtk_window_get_position(window, &bounds.Left, &bounds.Top);
    }
    return bounds;
}

void SetOuterSize(GtkWindow* window, int width, int height, int minWidth, int minHeight) {
    TWanted& wanted = Wanted(window);
    wanted.Width = std::max(width, minWidth);
    wanted.Height = std::max(height, minHeight);
    wanted.MinWidth = minWidth;
    wanted.MinHeight = minHeight;
    wanted.HasSize = true;
    wanted.Corrected = gtk_widget_get_mapped(GTK_WIDGET(window));
    Watch(window);
    ApplySize(window, wanted);
}

void SetOuterPosition(GtkWindow* window, int left, int top) {
    TWanted& wanted = Wanted(window);
    wanted.Left = left;
    wanted.Top = top;
    wanted.HasPosition = true;
    Watch(window);
    gtk_window_move(window, left, top);
}

} // namespace Folivant::Platform
