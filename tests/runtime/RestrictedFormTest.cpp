#include "runtime/RestrictedForm.h"

#include "base/Text.h"
#include "platform/ExeResources.h"
#include "platform/gtk/FormsGtk.h"
#include "shared/IniFiles.h"
#include "shared/PublicationSettings.h"

#include "support/TestSupport.h"

#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using Folivant::String;
using Folivant::StringToUtf8;
using Folivant::Platform::NativeEdit;
using Folivant::Platform::NativeWindow;
using Folivant::Runtime::mrCancel;
using Folivant::Runtime::mrOk;
using Folivant::Runtime::TModalResult;
using Folivant::Runtime::TRestrictedForm;

namespace {

class RestrictedFormTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
    void TearDown() override {
        while (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
    }
};

// Queues a key press for keyval at the window, as the display server
// delivers a typed key: one event per key, handled one at a time.
void PutKey(GtkWindow* window, guint keyval) {
    GdkWindow* target = gtk_widget_get_window(GTK_WIDGET(window));
    ASSERT_NE(target, nullptr);
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(target));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = keyval;
    event->key.string = g_strdup("");
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gdk_display_get_default()),
                                          keyval, &keys, &count) &&
        count > 0) {
        event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
        event->key.group = static_cast<guint8>(keys[0].group);
    }
    g_free(keys);
    gdk_event_set_device(
        event, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
    gdk_event_put(event);
    gdk_event_free(event);
}

std::vector<guint> KeysOf(const String& text) {
    std::vector<guint> keys;
    for (const char16_t c : text)
        keys.push_back(gdk_unicode_to_keyval(c));
    return keys;
}

// Drives a shown prompt from inside its own loop: first the keys, then a
// close request after closeAfterMs when the prompt is still open by then.
struct TDriver {
    TRestrictedForm* Form = nullptr;
    std::vector<guint> Keys;
    guint CloseAfterMs = 1500;
    guint CloseSource = 0;

    static gboolean Start(gpointer data) {
        auto* self = static_cast<TDriver*>(data);
        for (const guint key : self->Keys)
            PutKey(NativeWindow(self->Form->Window()), key);
        self->CloseSource = g_timeout_add(self->CloseAfterMs, Close, self);
        return G_SOURCE_REMOVE;
    }
    static gboolean Close(gpointer data) {
        auto* self = static_cast<TDriver*>(data);
        self->CloseSource = 0;
        gtk_window_close(NativeWindow(self->Form->Window()));
        return G_SOURCE_REMOVE;
    }
    TModalResult Run() {
        g_idle_add(Start, this);
        const TModalResult result = Form->ShowModal();
        if (CloseSource != 0)
            g_source_remove(CloseSource);
        return result;
    }
};

} // namespace

TEST_F(RestrictedFormTest, TypedTextClosesThePromptOnlyAtAnExactMatch) {
    struct Case {
        String Password;
        std::vector<guint> Typed;
        TModalResult Result;
        String TextAtEnd;
    };
    std::vector<guint> thenMore = KeysOf(u"Secret!!x");
    std::vector<guint> withEnterAndEsc = KeysOf(u"secret");
    withEnterAndEsc.push_back(GDK_KEY_Return);
    withEnterAndEsc.push_back(GDK_KEY_Escape);
    std::vector<guint> corrected = KeysOf(u"Secrex");
    corrected.push_back(GDK_KEY_BackSpace);
    corrected.push_back(GDK_KEY_BackSpace);
    for (const guint k : KeysOf(u"et"))
        corrected.push_back(k);
    const Case cases[] = {
        // The keys after the match are never entered.
        {u"Secret", thenMore, mrOk, u"Secret"},
        // Another letter case, Enter and Esc: the prompt stays until closed.
        {u"Secret", withEnterAndEsc, mrCancel, u"secret"},
        {u"Secret", KeysOf(u"SECRET"), mrCancel, u"SECRET"},
        {u"Secret", KeysOf(u"Secre"), mrCancel, u"Secre"},
        {u"Secret", corrected, mrOk, u"Secret"},
        {u"two words", KeysOf(u"two words"), mrOk, u"two words"},
        {u"P\u00E4ssw\u00F6rd", KeysOf(u"P\u00E4ssw\u00F6rd"), mrOk, u"P\u00E4ssw\u00F6rd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(StringToUtf8(c.Password) + " typed as " + std::to_string(c.Typed.size()) +
                     " keys");
        TRestrictedForm form;
        form.SetInput(c.Password);
        TDriver driver{&form, c.Typed};
        EXPECT_EQ(driver.Run(), c.Result);
        EXPECT_EQ(Folivant::Utf8ToString(gtk_entry_get_text(NativeEdit(form.InputEdit()))),
                  c.TextAtEnd);
    }
}

TEST_F(RestrictedFormTest, PastedPasswordClosesThePromptHalfASecondLater) {
    TRestrictedForm form;
    form.SetInput(u"copied secret");
    gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), "copied secret", -1);
    std::chrono::steady_clock::time_point pasted;
    struct TPaste {
        TRestrictedForm* Form;
        std::chrono::steady_clock::time_point* At;
    } paste{&form, &pasted};
    g_idle_add(
        [](gpointer data) -> gboolean {
            auto* p = static_cast<TPaste*>(data);
            *p->At = std::chrono::steady_clock::now();
            g_signal_emit_by_name(NativeEdit(p->Form->InputEdit()), "paste-clipboard");
            return G_SOURCE_REMOVE;
        },
        &paste);
    TDriver driver{&form, {}, 5000};
    EXPECT_EQ(driver.Run(), mrOk);
    const auto waited = std::chrono::steady_clock::now() - pasted;
    EXPECT_GE(waited, std::chrono::milliseconds(500));
    EXPECT_EQ(Folivant::Utf8ToString(gtk_entry_get_text(NativeEdit(form.InputEdit()))),
              u"copied secret");
}

TEST_F(RestrictedFormTest, ClosingThePromptRefusesAccessAndTheLayoutIsThePrompts) {
    struct TSeen {
        bool Found = false;
        std::string Title;
        bool Visible = true;
        bool FocusOnEdit = false;
        GtkAllocation Client{}, Image{}, Edit{};
        bool Resizable = true;
    } seen;
    g_timeout_add(
        20,
        [](gpointer data) -> gboolean {
            auto* s = static_cast<TSeen*>(data);
            GList* windows = gtk_window_list_toplevels();
            for (GList* w = windows; w != nullptr; w = w->next) {
                GtkWindow* window = GTK_WINDOW(w->data);
                GtkWidget* child = gtk_bin_get_child(GTK_BIN(window));
                if (!gtk_widget_get_mapped(GTK_WIDGET(window)) || child == nullptr ||
                    gtk_widget_get_allocated_width(child) <= 1 ||
                    g_strcmp0(gtk_window_get_title(window), "Guarded Publication") != 0)
                    continue;
                s->Found = true;
                s->Title = gtk_window_get_title(window);
                s->Resizable = gtk_window_get_resizable(window);
                GtkWidget* focus = gtk_window_get_focus(window);
                s->FocusOnEdit = GTK_IS_ENTRY(focus);
                if (focus != nullptr) {
                    s->Visible = gtk_entry_get_visibility(GTK_ENTRY(focus));
                    gtk_widget_get_allocation(focus, &s->Edit);
                    GtkWidget* client = gtk_bin_get_child(GTK_BIN(window));
                    gtk_widget_get_allocation(client, &s->Client);
                    GList* children = gtk_container_get_children(GTK_CONTAINER(client));
                    for (GList* c = children; c != nullptr; c = c->next)
                        if (GTK_IS_IMAGE(c->data))
                            gtk_widget_get_allocation(GTK_WIDGET(c->data), &s->Image);
                    g_list_free(children);
                }
                gtk_window_close(window);
            }
            g_list_free(windows);
            // Until the prompt has been laid out, look again.
            return s->Found ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
        },
        &seen);
    EXPECT_FALSE(TRestrictedForm::ConfirmAccessPassword(u"Secret", u"Guarded Publication"));
    ASSERT_TRUE(seen.Found);
    EXPECT_FALSE(seen.Resizable);
    EXPECT_TRUE(seen.FocusOnEdit);
    EXPECT_TRUE(seen.Visible) << "the text is shown as typed";
    EXPECT_EQ(seen.Client.width, 313);
    EXPECT_EQ(seen.Client.height, 54);
    EXPECT_EQ(seen.Image.x - seen.Client.x, 16);
    EXPECT_EQ(seen.Image.y - seen.Client.y, 16);
    EXPECT_EQ(seen.Image.width, 32);
    EXPECT_EQ(seen.Image.height, 32);
    EXPECT_EQ(seen.Edit.x - seen.Client.x, 64);
    EXPECT_EQ(seen.Edit.y - seen.Client.y, 16);
    EXPECT_EQ(seen.Edit.width, 225);
    EXPECT_EQ(seen.Edit.height, 22);

    // The picture the runtime carries for the prompt.
    const Folivant::Platform::TExeResources runtime(Folivant::Testing::RuntimeExe());
    const auto* keylock = runtime.Find("RCDATA", "KEYLOCK");
    ASSERT_NE(keylock, nullptr);
    const auto png = runtime.Data(*keylock);
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    ASSERT_TRUE(gdk_pixbuf_loader_write(loader, png->data(), png->size(), nullptr));
    ASSERT_TRUE(gdk_pixbuf_loader_close(loader, nullptr));
    GdkPixbuf* picture = gdk_pixbuf_loader_get_pixbuf(loader);
    EXPECT_EQ(gdk_pixbuf_get_width(picture), 32);
    EXPECT_EQ(gdk_pixbuf_get_height(picture), 32);
    EXPECT_TRUE(gdk_pixbuf_get_has_alpha(picture));
    g_object_unref(loader);
}

TEST_F(RestrictedFormTest, PasswordComesFromTheSettingsTrimmedAndEmptyMeansNoPrompt) {
    auto settings = [](const String& text) {
        Folivant::Shared::TMemIniFile ini;
        ini.SetStrings(Folivant::Shared::TextToLines(text));
        return Folivant::Shared::ReadPublicationSettings(ini).AppPassword;
    };
    // No key, or an empty value: no prompt appears at all.
    for (const String text : {u"[Folivant]\nAppTitle=x\n", u"[Folivant]\nAppPassword=\n",
                              u"[Folivant]\nAppPassword=   \n", u""}) {
        const String password = settings(text);
        EXPECT_TRUE(password.empty());
        GList* before = gtk_window_list_toplevels();
        const guint count = g_list_length(before);
        g_list_free(before);
        EXPECT_TRUE(TRestrictedForm::ConfirmAccessPassword(password, u"t"));
        GList* after = gtk_window_list_toplevels();
        EXPECT_EQ(g_list_length(after), count);
        g_list_free(after);
    }
    // Spaces around the value in the settings text are not part of it.
    const String password = settings(u"[Folivant]\nAppPassword =   open sesame  \n");
    ASSERT_EQ(password, u"open sesame");
    TRestrictedForm form;
    form.SetInput(password);
    TDriver driver{&form, KeysOf(u"open sesame")};
    EXPECT_EQ(driver.Run(), mrOk);
}
