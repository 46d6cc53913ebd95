#include "platform/gtk/MessageBoxGtk.h"

#include "base/Text.h"
#include "platform/ui/Application.h"
#include "platform/gtk/GlibOwner.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace Folivant::Platform {

namespace {

// GTK is initialised once; a failure (no display) is remembered, so every
// later box takes the standard-error path without trying again.
bool DisplayAvailable() {
    static const bool available = gtk_init_check(nullptr, nullptr) != FALSE;
    return available;
}

// The dialogs RunModalDialog runs, innermost last.
std::vector<GtkDialog*> RunningDialogs;

int DefaultButton(unsigned flags) {
    switch (flags & 0xF) {
    case MB_YESNO:
        return IDYES;
    case MB_CLOSE:
        return IDCLOSE;
    default:
        return IDOK;
    }
}

// The active top-level window owns the box, as the active window does on
// Windows; there may be none (at start-up).
GtkWindow* ActiveWindow() {
    const TGOwner<GList> windows(gtk_window_list_toplevels());
    GtkWindow* active = nullptr;
    for (GList* w = windows; w != nullptr; w = w->next) {
        auto* window = GTK_WINDOW(w->data);
        if (gtk_window_is_active(window) && gtk_widget_get_visible(GTK_WIDGET(window))) {
            active = window;
            break;
        }
    }
    return active;
}

GtkMessageType MessageType(unsigned flags) {
    switch (flags & 0xF0) {
    case MB_ICONERROR:
        return GTK_MESSAGE_ERROR;
    case MB_ICONQUESTION:
        return GTK_MESSAGE_QUESTION;
    case MB_ICONWARNING:
        return GTK_MESSAGE_WARNING;
    case MB_ICONINFORMATION:
        return GTK_MESSAGE_INFO;
    default:
        return GTK_MESSAGE_OTHER;
    }
}

} // namespace

int MessageBox(const String& text, const String& caption, unsigned flags) {
    const std::string textUtf8 = StringToUtf8(text);
    const std::string captionUtf8 = StringToUtf8(caption);
    if (!DisplayAvailable()) {
        std::fprintf(stderr, "%s: %s\n", captionUtf8.c_str(), textUtf8.c_str());
        std::fflush(stderr);
        return DefaultButton(flags);
    }
    if (ShutDownRequested())
        return ClosedAnswer(flags);

    GtkWindow* owner = ActiveWindow();
    GtkWidget* dialog = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, MessageType(flags),
                                               GTK_BUTTONS_NONE, "%s", textUtf8.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), captionUtf8.c_str());
    // Over its owner; a box without one (at start-up) in the middle of the
    // screen.
    gtk_window_set_position(GTK_WINDOW(dialog),
                            owner != nullptr ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    switch (flags & 0xF) {
    case MB_OKCANCEL:
        gtk_dialog_add_buttons(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK, "Cancel",
                               GTK_RESPONSE_CANCEL, nullptr);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        break;
    case MB_YESNO:
        gtk_dialog_add_buttons(GTK_DIALOG(dialog), "Yes", GTK_RESPONSE_YES, "No", GTK_RESPONSE_NO,
                               nullptr);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_YES);
        // A Yes/No box has no close command on Windows; closing answers No.
        gtk_window_set_deletable(GTK_WINDOW(dialog), FALSE);
        break;
    case MB_CLOSE:
        gtk_dialog_add_button(GTK_DIALOG(dialog), "Close", GTK_RESPONSE_CLOSE);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
        break;
    default:
        gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        break;
    }
    const gint response = RunModalDialog(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);

    if ((flags & 0xF) == MB_CLOSE)
        return IDCLOSE;
    switch (response) {
    case GTK_RESPONSE_OK:
        return IDOK;
    case GTK_RESPONSE_CANCEL:
        return IDCANCEL;
    case GTK_RESPONSE_YES:
        return IDYES;
    case GTK_RESPONSE_NO:
        return IDNO;
    default:
        return ClosedAnswer(flags);
    }
}

int RunModalDialog(GtkDialog* dialog) {
    if (ShutDownRequested())
        return GTK_RESPONSE_DELETE_EVENT;
    RunningDialogs.push_back(dialog);
    const gint response = gtk_dialog_run(dialog);
    const auto at = std::find(RunningDialogs.begin(), RunningDialogs.end(), dialog);
    if (at != RunningDialogs.end())
        RunningDialogs.erase(at);
    return response;
}

void CloseModalWindows() {
    if (!DisplayAvailable())
        return;
    // A response ends the dialog's loop at once, whether or not the window
    // offers a close button; the innermost dialog goes first.
    const std::vector<GtkDialog*> dialogs = RunningDialogs;
    for (auto dialog = dialogs.rbegin(); dialog != dialogs.rend(); ++dialog)
        gtk_dialog_response(*dialog, GTK_RESPONSE_DELETE_EVENT);
    const TGOwner<GList> windows(gtk_window_list_toplevels());
    for (GList* w = windows; w != nullptr; w = w->next) {
        GtkWindow* window = GTK_WINDOW(w->data);
        if (gtk_window_get_modal(window) && gtk_widget_get_visible(GTK_WIDGET(window)) &&
            std::none_of(dialogs.begin(), dialogs.end(), [window](GtkDialog* dialog) {
                return static_cast<void*>(dialog) == static_cast<void*>(window);
            }))
            gtk_window_close(window);
    }
}

} // namespace Folivant::Platform
