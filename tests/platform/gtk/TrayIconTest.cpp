#include "platform/gtk/TrayIconGtk.h"

#include "base/Text.h"
#include "platform/ui/Application.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace Folivant::Platform;
using Folivant::String;
using Folivant::StringToUtf8;

namespace {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

GDBusConnection* NewBusConnection() {
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    g_free(address);
    if (connection != nullptr)
        g_dbus_connection_set_exit_on_close(connection, FALSE);
    return connection;
}

// Calls a method without blocking the loop that has to answer it (the item
// lives in this process).
GVariant* Call(GDBusConnection* connection, const std::string& destination, const char* path,
               const char* interface, const char* method, GVariant* parameters) {
    struct TState {
        bool Done = false;
        GVariant* Reply = nullptr;
    } state;
    g_dbus_connection_call(
        connection, destination.c_str(), path, interface, method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, 3000, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* s = static_cast<TState*>(data);
            s->Reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            s->Done = true;
        },
        &state);
    WaitUntil([&] { return state.Done; });
    return state.Reply;
}

// A panel's watcher of the test's own: it takes the well-known name and
// records every item that registers.
class TTestWatcher {
public:
    TTestWatcher() {
        static const char* xml = R"xml(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
  </interface></node>)xml";
        FNode = g_dbus_node_info_new_for_xml(xml, nullptr);
        FConnection = NewBusConnection();
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
               const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
               gpointer data) {
                auto* self = static_cast<TTestWatcher*>(data);
                if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
                    const gchar* service = nullptr;
                    g_variant_get(parameters, "(&s)", &service);
                    self->Items.emplace_back(service);
                    self->Senders.emplace_back(sender);
                }
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
               GError**, gpointer) -> GVariant* {
                if (g_strcmp0(name, "IsStatusNotifierHostRegistered") == 0)
                    return g_variant_new_boolean(TRUE);
                if (g_strcmp0(name, "ProtocolVersion") == 0)
                    return g_variant_new_int32(0);
                return g_variant_new_strv(nullptr, 0);
            },
            nullptr,
            {}};
        g_dbus_connection_register_object(FConnection, "/StatusNotifierWatcher",
                                          FNode->interfaces[0], &vtable, this, nullptr, nullptr);
        GVariant* reply = g_dbus_connection_call_sync(
            FConnection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "org.kde.StatusNotifierWatcher", 4u),
            G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
        guint32 answer = 0;
        if (reply != nullptr) {
            g_variant_get(reply, "(u)", &answer);
            g_variant_unref(reply);
        }
        Owned = answer == 1;
    }
    ~TTestWatcher() {
        g_dbus_connection_close_sync(FConnection, nullptr, nullptr);
        g_object_unref(FConnection);
        g_dbus_node_info_unref(FNode);
    }
    GDBusConnection* Connection() const { return FConnection; }

    bool Owned = false;
    std::vector<std::string> Items;
    std::vector<std::string> Senders;

private:
    GDBusNodeInfo* FNode = nullptr;
    GDBusConnection* FConnection = nullptr;
};

GVariant* ItemProperty(GDBusConnection* connection, const String& busName, const char* name) {
    GVariant* reply = Call(connection, StringToUtf8(busName), "/StatusNotifierItem",
                           "org.freedesktop.DBus.Properties", "Get",
                           g_variant_new("(ss)", "org.kde.StatusNotifierItem", name));
    if (reply == nullptr)
        return nullptr;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    g_variant_unref(reply);
    return value;
}

std::string ToolTipTitle(GDBusConnection* connection, const String& busName) {
    GVariant* tip = ItemProperty(connection, busName, "ToolTip");
    if (tip == nullptr)
        return "<no tool tip>";
    const gchar* title = nullptr;
    g_variant_get_child(tip, 2, "&s", &title);
    std::string result = title;
    g_variant_unref(tip);
    return result;
}

bool NameHasOwner(GDBusConnection* connection, const String& name) {
    GVariant* reply =
        Call(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "NameHasOwner", g_variant_new("(s)", StringToUtf8(name).c_str()));
    gboolean owned = FALSE;
    if (reply != nullptr) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    }
    return owned;
}

// Each test gets a session bus of its own: the tests own the watcher's
// well-known name, and tests running at the same time must not see each
// other's watcher or items.
class TrayIconTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
    void SetUp() override {
        const char* previous = g_getenv("DBUS_SESSION_BUS_ADDRESS");
        FPrevious = previous != nullptr ? previous : "";
        FBus = g_test_dbus_new(G_TEST_DBUS_NONE);
        g_test_dbus_up(FBus);
    }
    void TearDown() override {
        g_test_dbus_down(FBus);
        g_object_unref(FBus);
        if (!FPrevious.empty())
            g_setenv("DBUS_SESSION_BUS_ADDRESS", FPrevious.c_str(), TRUE);
    }

private:
    GTestDBus* FBus = nullptr;
    std::string FPrevious;
};

} // namespace

TEST_F(TrayIconTest, RegistersWithThePanelAndALeftClickHidesAndShowsTheWindow) {
    TTestWatcher watcher;
    ASSERT_TRUE(watcher.Owned) << "another watcher holds the name";

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(window);
    bool minimized = false;
    int clicks = 0;
    auto icon = std::make_unique<TTrayIcon>(u"Tray hint", [&] {
        ++clicks;
        if (!minimized)
            HideToTray(GTK_WINDOW(window));
        else
            RestoreFromTray(GTK_WINDOW(window));
        minimized = !minimized;
    });
    ASSERT_TRUE(WaitUntil([&] { return icon->Kind() == TTrayIcon::tkStatusNotifierItem; }));
    ASSERT_EQ(watcher.Items.size(), 1u);
    EXPECT_EQ(watcher.Items[0], StringToUtf8(icon->BusName()));
    EXPECT_TRUE(std::regex_match(
        watcher.Items[0],
        std::regex("org\\.kde\\.StatusNotifierItem-" + std::to_string(::getpid()) + "-[0-9]+")))
        << watcher.Items[0];

    GDBusConnection* panel = watcher.Connection();
    EXPECT_EQ(ToolTipTitle(panel, icon->BusName()), "Tray hint");
    for (const auto& [name, expected] :
         {std::pair<const char*, const char*>{"Category", "ApplicationStatus"},
          {"Status", "Active"}}) {
        GVariant* value = ItemProperty(panel, icon->BusName(), name);
        ASSERT_NE(value, nullptr) << name;
        EXPECT_STREQ(g_variant_get_string(value, nullptr), expected);
        g_variant_unref(value);
    }
    // The icon is either a picture or a named icon, never nothing.
    GVariant* pixmaps = ItemProperty(panel, icon->BusName(), "IconPixmap");
    GVariant* iconName = ItemProperty(panel, icon->BusName(), "IconName");
    ASSERT_TRUE(pixmaps != nullptr && iconName != nullptr);
    EXPECT_TRUE(g_variant_n_children(pixmaps) > 0 || *g_variant_get_string(iconName, nullptr));
    g_variant_unref(pixmaps);
    g_variant_unref(iconName);

    auto send = [&](const char* method) {
        GVariant* reply = Call(panel, StringToUtf8(icon->BusName()), "/StatusNotifierItem",
                               "org.kde.StatusNotifierItem", method, g_variant_new("(ii)", 5, 5));
        EXPECT_NE(reply, nullptr) << method;
        if (reply != nullptr)
            g_variant_unref(reply);
    };
    send("Activate");
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(gtk_widget_get_visible(window));
    // Middle and right buttons do nothing.
    send("SecondaryActivate");
    send("ContextMenu");
    EXPECT_EQ(clicks, 1);
    EXPECT_FALSE(gtk_widget_get_visible(window));
    send("Activate");
    EXPECT_EQ(clicks, 2);
    EXPECT_TRUE(gtk_widget_get_visible(window));

    icon->SetHint(String(200, u'h'));
    EXPECT_EQ(ToolTipTitle(panel, icon->BusName()), std::string(127, 'h'));

    // A second icon of the same process owns a name of its own.
    auto second = std::make_unique<TTrayIcon>(u"x", [] {});
    ASSERT_TRUE(WaitUntil([&] { return second->Kind() == TTrayIcon::tkStatusNotifierItem; }));
    EXPECT_NE(second->BusName(), icon->BusName());

    const String name = icon->BusName();
    icon.reset();
    EXPECT_TRUE(WaitUntil([&] { return !NameHasOwner(panel, name); }));
    second.reset();
    gtk_widget_destroy(window);
}

TEST_F(TrayIconTest, WithoutAWatcherTheTrayIconStandsInUntilOneAppears) {
    int clicks = 0;
    TTrayIcon icon(u"Fallback", [&] { ++clicks; });
    // Xvfb is an X11 display without a tray: the stand-in exists, not shown
    // anywhere, and nothing fails.
    EXPECT_EQ(icon.Kind(), TTrayIcon::tkStatusIcon);
    EXPECT_FALSE(icon.BusName().empty());

    {
        TTestWatcher watcher;
        ASSERT_TRUE(watcher.Owned);
        ASSERT_TRUE(WaitUntil([&] { return icon.Kind() == TTrayIcon::tkStatusNotifierItem; }));
        ASSERT_EQ(watcher.Items.size(), 1u);
        EXPECT_EQ(watcher.Items[0], StringToUtf8(icon.BusName()));
        EXPECT_EQ(ToolTipTitle(watcher.Connection(), icon.BusName()), "Fallback");
    }
    // The panel went away: back to the stand-in.
    EXPECT_TRUE(WaitUntil([&] { return icon.Kind() == TTrayIcon::tkStatusIcon; }));
    EXPECT_EQ(clicks, 0);
}

TEST(TrayIconToolTip, CutsToWhatTheTrayShowsAndFallsBackToTheTitle) {
    const String pair = u"\U0001F600";
    struct Case {
        String Hint;
        String Expected;
    };
    const Case cases[] = {
        {u"Publication", u"Publication"},
        {String(127, u'a'), String(127, u'a')},
        {String(128, u'a'), String(127, u'a')},
        // A character made of two units is not cut in half.
        {String(126, u'a') + pair, String(126, u'a')},
        {String(125, u'a') + pair, String(125, u'a') + pair},
        {u"", ApplicationTitle()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TrayIconToolTip(c.Hint), c.Expected) << StringToUtf8(c.Hint);
}
