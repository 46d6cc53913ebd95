#include "runtime/RestrictedForm.h"

#include "archive/Text.h"
#include "platform/Application.h"
#include "platform/ExeResources.h"
#include "runtime/Startup.h"

#include <gtk/gtk.h>

namespace Folivant::Runtime {

namespace {

constexpr int ClientWidth = 313;
constexpr int ClientHeight = 54;
constexpr int ImageLeft = 16, ImageTop = 16, ImageSize = 32;
constexpr int EditLeft = 64, EditTop = 16, EditWidth = 225, EditHeight = 22;
// The pause after a match, so that the user sees the completed text before
// the prompt goes.
constexpr gulong MatchDelayMicroseconds = 500 * 1000;

// The layout's font, and a text box as low as the layout draws it.
constexpr const char* LayoutCss =
    "* { font-family: Tahoma, sans-serif; font-size: 12px; }\n"
    "entry { min-height: 0; padding-top: 1px; padding-bottom: 1px; }\n";

void ApplyLayoutProvider(GtkWidget* widget, gpointer provider) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                   GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION - 1);
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), ApplyLayoutProvider, provider);
}

// The key-and-padlock picture from the runtime's own resources; without it
// the image stays empty.
GdkPixbuf* LoadKeyLockPicture() {
    try {
        const Platform::TExeResources resources(Platform::TExeResources::OwnExecutable());
        const Platform::TResourceInfo* info = resources.Find("RCDATA", "KEYLOCK");
        if (info == nullptr)
            return nullptr;
        const auto data = resources.Data(*info);
        if (!data)
            return nullptr;
        GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
        if (loader == nullptr)
            return nullptr;
        GdkPixbuf* pixbuf = nullptr;
        if (gdk_pixbuf_loader_write(loader, data->data(), data->size(), nullptr) &&
            gdk_pixbuf_loader_close(loader, nullptr)) {
            pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
            if (pixbuf != nullptr)
                g_object_ref(pixbuf);
        } else {
            gdk_pixbuf_loader_close(loader, nullptr);
        }
        g_object_unref(loader);
        return pixbuf;
    } catch (const Platform::EResourceError&) {
        return nullptr;
    }
}

} // namespace

struct TRestrictedFormSignals {
    static void Changed(GtkEditable*, gpointer self) {
        try {
            static_cast<TRestrictedForm*>(self)->InputEditChange();
        } catch (...) {
            Platform::HandleCallbackException();
        }
    }
    // The caption bar's close button and the system's close command.
    static gboolean DeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
        try {
            static_cast<TRestrictedForm*>(self)->SetModalResult(mrCancel);
        } catch (...) {
            Platform::HandleCallbackException();
        }
        return TRUE;
    }
    static void Destroyed(GtkWidget*, gpointer self) {
        auto* form = static_cast<TRestrictedForm*>(self);
        form->FWindow = nullptr;
        form->FInputEdit = nullptr;
        form->FImage = nullptr;
        if (form->FModalResult == mrNone)
            form->SetModalResult(mrCancel);
    }
};

TRestrictedForm::TRestrictedForm() {
    FWindow = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_set_title(FWindow, "");
    gtk_window_set_resizable(FWindow, FALSE);
    gtk_window_set_modal(FWindow, TRUE);
    gtk_window_set_position(FWindow, GTK_WIN_POS_CENTER);
    gtk_window_set_type_hint(FWindow, GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_window_set_skip_taskbar_hint(FWindow, FALSE);

    GtkWidget* client = gtk_fixed_new();
    gtk_widget_set_size_request(client, ClientWidth, ClientHeight);
    gtk_container_add(GTK_CONTAINER(FWindow), client);

    FImage = GTK_IMAGE(gtk_image_new());
    gtk_widget_set_size_request(GTK_WIDGET(FImage), ImageSize, ImageSize);
    if (GdkPixbuf* picture = LoadKeyLockPicture()) {
        gtk_image_set_from_pixbuf(FImage, picture);
        g_object_unref(picture);
    }
    gtk_fixed_put(GTK_FIXED(client), GTK_WIDGET(FImage), ImageLeft, ImageTop);

    FInputEdit = GTK_ENTRY(gtk_entry_new());
    gtk_entry_set_visibility(FInputEdit, TRUE);
    gtk_entry_set_activates_default(FInputEdit, FALSE);
    gtk_widget_set_size_request(GTK_WIDGET(FInputEdit), EditWidth, EditHeight);
    gtk_fixed_put(GTK_FIXED(client), GTK_WIDGET(FInputEdit), EditLeft, EditTop);

    GtkCssProvider* layout = gtk_css_provider_new();
    gtk_css_provider_load_from_data(layout, LayoutCss, -1, nullptr);
    ApplyLayoutProvider(GTK_WIDGET(FWindow), layout);
    g_object_unref(layout);

    g_signal_connect(FInputEdit, "changed", G_CALLBACK(TRestrictedFormSignals::Changed), this);
    g_signal_connect(FWindow, "delete-event", G_CALLBACK(TRestrictedFormSignals::DeleteEvent),
                     this);
    g_signal_connect(FWindow, "destroy", G_CALLBACK(TRestrictedFormSignals::Destroyed), this);
    gtk_widget_show_all(client);
    gtk_widget_grab_focus(GTK_WIDGET(FInputEdit));
}

TRestrictedForm::~TRestrictedForm() {
    if (FLoop != nullptr && g_main_loop_is_running(FLoop))
        g_main_loop_quit(FLoop);
    if (FWindow != nullptr) {
        g_signal_handlers_disconnect_by_data(FWindow, this);
        g_signal_handlers_disconnect_by_data(FInputEdit, this);
        gtk_widget_destroy(GTK_WIDGET(FWindow));
    }
    if (FLoop != nullptr)
        g_main_loop_unref(FLoop);
}

void TRestrictedForm::SetCaption(const String& caption) {
    if (FWindow != nullptr)
        gtk_window_set_title(FWindow, StringToUtf8(caption).c_str());
}

TModalResult TRestrictedForm::ShowModal() {
    FModalResult = mrNone;
    if (FWindow == nullptr)
        return mrCancel;
    gtk_window_present(FWindow);
    if (FLoop == nullptr)
        FLoop = g_main_loop_new(nullptr, FALSE);
    // A result set while showing (for instance by a change handler) ends the
    // prompt before its loop starts.
    if (FModalResult == mrNone)
        g_main_loop_run(FLoop);
    if (FWindow != nullptr)
        gtk_widget_hide(GTK_WIDGET(FWindow));
    return FModalResult;
}

void TRestrictedForm::SetModalResult(TModalResult result) {
    FModalResult = result;
    if (result != mrNone && FLoop != nullptr && g_main_loop_is_running(FLoop))
        g_main_loop_quit(FLoop);
}

void TRestrictedForm::InputEditChange() {
    if (FInputEdit == nullptr)
        return;
    // The whole text, code unit by code unit, letter case and spaces
    // included.
    if (Utf8ToString(gtk_entry_get_text(FInputEdit)) != FInput)
        return;
    // The GUI thread waits here, so keys typed meanwhile are not handled
    // before the prompt has closed.
    g_usleep(MatchDelayMicroseconds);
    SetModalResult(mrOk);
}

bool TRestrictedForm::ConfirmAccessPassword(const String& password, const String& title) {
    if (password.empty())
        return true;
    TRestrictedForm form;
    form.SetInput(password);
    form.SetCaption(title);
    return form.ShowModal() == mrOk;
}

void TRestrictedForm::AskAccessPassword(const String& password, const String& title) {
    if (!ConfirmAccessPassword(password, title))
        Halt(0);
}

} // namespace Folivant::Runtime
