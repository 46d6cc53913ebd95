#include "platform/gtk/TrayIconGtk.h"

// Current Linux panels speak the StatusNotifierItem protocol over D-Bus: the
// icon owns a bus name org.kde.StatusNotifierItem-<pid>-<n>, serves the item
// at /StatusNotifierItem and registers with the StatusNotifierWatcher; the
// panel's Activate (a left click) calls the click handler. Where no watcher
// is on the bus, an X11 tray icon (GtkStatusIcon) stands in, and the item
// moves to the watcher as soon as one appears.

#include "base/Text.h"
#include "platform/ui/Application.h"
#include "platform/gtk/GlibOwner.h"
#include "platform/gtk/MainIconGtk.h"

#include <gdk/gdkx.h>
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

namespace Folivant::Platform {

namespace {

constexpr const char* ItemPath = "/StatusNotifierItem";
constexpr const char* ItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* WatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* WatcherPath = "/StatusNotifierWatcher";
constexpr const char* FallbackIconName = "application-x-executable";

constexpr const char* ItemXml = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
    <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus"><arg name="status" type="s"/></signal>
  </interface>
</node>)xml";

GDBusInterfaceInfo* ItemInterfaceInfo() {
    static GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(ItemXml, nullptr);
    return node != nullptr ? node->interfaces[0] : nullptr;
}

std::atomic<unsigned> IconCounter{0};

// One size of the icon as the protocol carries it: ARGB, 32 bits per pixel
// in network byte order.
GVariant* PixmapOf(GdkPixbuf* source, int size) {
    TGOwner<GdkPixbuf> scaled(gdk_pixbuf_scale_simple(source, size, size, GDK_INTERP_BILINEAR));
    if (scaled == nullptr)
        return nullptr;
    TGOwner<GdkPixbuf> rgba(gdk_pixbuf_add_alpha(scaled, FALSE, 0, 0, 0));
    scaled.Reset();
    if (rgba == nullptr)
        return nullptr;
    const int width = gdk_pixbuf_get_width(rgba);
    const int height = gdk_pixbuf_get_height(rgba);
    const int stride = gdk_pixbuf_get_rowstride(rgba);
    const guchar* pixels = gdk_pixbuf_read_pixels(rgba);
    std::vector<guchar> argb;
    argb.reserve(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const guchar* p = pixels + y * stride + x * 4;
            argb.insert(argb.end(), {p[3], p[0], p[1], p[2]});
        }
    rgba.Reset();
    GVariant* bytes =
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, argb.data(), argb.size(), sizeof(guchar));
    return g_variant_new("(ii@ay)", width, height, bytes);
}

} // namespace

struct TTrayIcon::TImpl {
    String Hint;
    TClickEvent OnClick;
    TGOwner<GdkPixbuf> Icon;
    TGOwner<GDBusConnection> Connection;
    std::string BusName;
    guint Registration = 0;
    guint Watch = 0;
    TGOwner<GCancellable> Cancellable;
    bool Registering = false;
    bool Registered = false;
    TGOwner<GtkStatusIcon> StatusIcon;
    gint64 LastActivation = 0;

    ~TImpl() {
        if (Cancellable != nullptr)
            g_cancellable_cancel(Cancellable);
        if (Watch != 0)
            g_bus_unwatch_name(Watch);
        StopStatusIcon();
        if (Connection != nullptr) {
            if (Registration != 0)
                g_dbus_connection_unregister_object(Connection, Registration);
            // Closing the private connection gives the name up, so the
            // watcher drops the item from the panel.
            g_dbus_connection_close_sync(Connection, nullptr, nullptr);
        }
    }

    std::string ToolTipUtf8() const { return StringToUtf8(TrayIconToolTip(Hint)); }

    void Click() {
        if (OnClick)
            OnClick();
    }

    GVariant* Pixmaps() const {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE("a(iiay)"));
        if (Icon != nullptr)
            for (const int size : {16, 22, 32, 48, 64})
                if (GVariant* pixmap = PixmapOf(Icon, size))
                    g_variant_builder_add_value(&builder, pixmap);
        return g_variant_builder_end(&builder);
    }

    GVariant* Property(const char* name) const {
        const std::string title = StringToUtf8(ApplicationTitle());
        const std::string_view n = name;
        if (n == "Category")
            return g_variant_new_string("ApplicationStatus");
        if (n == "Id" || n == "Title")
            return g_variant_new_string(title.empty() ? "folivant" : title.c_str());
        if (n == "Status")
            return g_variant_new_string("Active");
        if (n == "WindowId")
            return g_variant_new_int32(0);
        if (n == "IconName")
            return g_variant_new_string(Icon != nullptr ? "" : FallbackIconName);
        if (n == "IconPixmap")
            return Pixmaps();
        if (n == "OverlayIconPixmap" || n == "AttentionIconPixmap")
            return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
        if (n == "ToolTip")
            return g_variant_new("(s@a(iiay)ss)", "",
                                 g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0),
                                 ToolTipUtf8().c_str(), "");
        if (n == "ItemIsMenu")
            return g_variant_new_boolean(FALSE);
        if (n == "Menu")
            return g_variant_new_object_path("/NO_DBUSMENU");
        return g_variant_new_string("");
    }

    static void MethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                           const gchar* method, GVariant*, GDBusMethodInvocation* invocation,
                           gpointer data) {
        auto* self = static_cast<TImpl*>(data);
        // The panel gets its answer first, so a click that opens a modal
        // window does not keep it waiting.
        g_dbus_method_invocation_return_value(invocation, nullptr);
        GuardCallback([&] {
            if (g_strcmp0(method, "Activate") == 0)
                self->Click();
        });
        // SecondaryActivate (middle button), ContextMenu (right button)
        // and Scroll do nothing: the icon has no menu.
    }

    static GVariant* GetProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                 const gchar* name, GError**, gpointer data) {
        GVariant* value = nullptr;
        GuardCallback([&] { value = static_cast<TImpl*>(data)->Property(name); });
        return value != nullptr ? value : g_variant_new_string("");
    }

    void Start() {
        Icon.Reset(LoadMainIcon());
        Cancellable.Reset(g_cancellable_new());
        TGError error;
        TGString address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, error.Out()));
        if (address != nullptr)
            Connection.Reset(g_dbus_connection_new_for_address_sync(
                address,
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, error.Out()));
        if (Connection == nullptr || ItemInterfaceInfo() == nullptr) {
            StartStatusIcon();
            return;
        }
        g_dbus_connection_set_exit_on_close(Connection, FALSE);
        static const GDBusInterfaceVTable vtable = {MethodCall, GetProperty, nullptr, {}};
        Registration = g_dbus_connection_register_object(Connection, ItemPath, ItemInterfaceInfo(),
                                                         &vtable, this, nullptr, nullptr);
        BusName = "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" +
                  std::to_string(++IconCounter);
        TGOwner<GVariant> reply(g_dbus_connection_call_sync(
            Connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", BusName.c_str(), 4u), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
        if (Registration == 0 || reply == nullptr) {
            BusName.clear();
            StartStatusIcon();
            return;
        }
        // The watcher may come and go (a panel restarting); the item follows.
        Watch =
            g_bus_watch_name_on_connection(Connection, WatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                           WatcherAppeared, WatcherVanished, this, nullptr);
        if (!WatcherPresent())
            StartStatusIcon();
        else
            RegisterWithWatcher();
    }

    bool WatcherPresent() {
        TGOwner<GVariant> reply(g_dbus_connection_call_sync(
            Connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", WatcherName), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr));
        if (reply == nullptr)
            return false;
        gboolean present = FALSE;
        g_variant_get(reply, "(b)", &present);
        return present;
    }

    void RegisterWithWatcher() {
        if (Registering || Registered)
            return;
        Registering = true;
        g_dbus_connection_call(Connection, WatcherName, WatcherPath, WatcherName,
                               "RegisterStatusNotifierItem", g_variant_new("(s)", BusName.c_str()),
                               nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, Cancellable, Registered_,
                               this);
    }

    static void Registered_(GObject* source, GAsyncResult* result, gpointer data) {
        TGError error;
        TGOwner<GVariant> reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, error.Out()));
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
            return; // the icon is gone
        GuardCallback([&] {
            auto* self = static_cast<TImpl*>(data);
            self->Registering = false;
            self->Registered = reply != nullptr;
            if (self->Registered)
                self->StopStatusIcon();
            else
                self->StartStatusIcon();
        });
    }

    static void WatcherAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer data) {
        GuardCallback([&] { static_cast<TImpl*>(data)->RegisterWithWatcher(); });
    }

    static void WatcherVanished(GDBusConnection*, const gchar*, gpointer data) {
        GuardCallback([&] {
            auto* self = static_cast<TImpl*>(data);
            if (self->Registering)
                return;
            self->Registered = false;
            self->StartStatusIcon();
        });
    }

    // The X11 tray reports each press of a double click as an activation;
    // a press within the double-click time of an accepted one completes a
    // double click, which counts as one click.
    static void StatusIconActivate(GtkStatusIcon*, gpointer data) {
        GuardCallback([&] {
            auto* self = static_cast<TImpl*>(data);
            gint doubleClickMs = 400;
            if (GtkSettings* settings = gtk_settings_get_default())
                g_object_get(settings, "gtk-double-click-time", &doubleClickMs, nullptr);
            const gint64 now = g_get_monotonic_time();
            if (self->LastActivation != 0 &&
                now - self->LastActivation < static_cast<gint64>(doubleClickMs) * 1000) {
                self->LastActivation = 0;
                return;
            }
            self->LastActivation = now;
            self->Click();
        });
    }

    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    // The X11 system tray; other displays have no fallback.
    void StartStatusIcon() {
        GdkDisplay* display = gdk_display_get_default();
        if (StatusIcon != nullptr || display == nullptr || !GDK_IS_X11_DISPLAY(display))
            return;
        StatusIcon.Reset(Icon != nullptr ? gtk_status_icon_new_from_pixbuf(Icon)
                                         : gtk_status_icon_new_from_icon_name(FallbackIconName));
        gtk_status_icon_set_tooltip_text(StatusIcon, ToolTipUtf8().c_str());
        // "activate" is the left click; the right click's "popup-menu" is
        // left alone.
        g_signal_connect(StatusIcon, "activate", G_CALLBACK(StatusIconActivate), this);
        gtk_status_icon_set_visible(StatusIcon, TRUE);
    }

    void StopStatusIcon() {
        if (StatusIcon == nullptr)
            return;
        g_signal_handlers_disconnect_by_data(StatusIcon, this);
        gtk_status_icon_set_visible(StatusIcon, FALSE);
        StatusIcon.Reset();
    }

    void HintChanged() {
        if (StatusIcon != nullptr)
            gtk_status_icon_set_tooltip_text(StatusIcon, ToolTipUtf8().c_str());
        if (Connection != nullptr && Registration != 0)
            g_dbus_connection_emit_signal(Connection, nullptr, ItemPath, ItemInterface,
                                          "NewToolTip", nullptr, nullptr);
    }
    G_GNUC_END_IGNORE_DEPRECATIONS
};

TTrayIcon::TTrayIcon(const String& hint, TClickEvent onClick) : FImpl(std::make_unique<TImpl>()) {
    FImpl->Hint = hint;
    FImpl->OnClick = std::move(onClick);
    FImpl->Start();
}

TTrayIcon::~TTrayIcon() = default;

void TTrayIcon::SetHint(const String& hint) {
    FImpl->Hint = hint;
    FImpl->HintChanged();
}

TTrayIcon::TKind TTrayIcon::Kind() const {
    if (FImpl->Registered)
        return tkStatusNotifierItem;
    return FImpl->StatusIcon != nullptr ? tkStatusIcon : tkNone;
}

String TTrayIcon::BusName() const {
    return Utf8ToString(FImpl->BusName);
}

void HideToTray(GtkWindow* window) {
    if (window != nullptr)
        gtk_widget_hide(GTK_WIDGET(window));
}

void RestoreFromTray(GtkWindow* window) {
    if (window == nullptr)
        return;
    gtk_widget_show(GTK_WIDGET(window));
    gtk_window_present(window);
}

} // namespace Folivant::Platform
