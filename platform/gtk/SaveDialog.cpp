#include "platform/ui/SaveDialog.h"

// The dialog is a GTK file chooser in save mode.

#include "base/Text.h"
#include "platform/gtk/GlibOwner.h"
#include "platform/gtk/MessageBoxGtk.h"

#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace Folivant::Platform {

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        pieces.push_back(text.substr(start, at - start));
        if (at == std::string::npos)
            return pieces;
        start = at + 1;
    }
}

GtkWindow* ActiveWindow() {
    GtkWindow* active = nullptr;
    const TGOwner<GList> windows(gtk_window_list_toplevels());
    for (GList* item = windows; item != nullptr; item = item->next)
        if (gtk_window_is_active(GTK_WINDOW(item->data)))
            active = GTK_WINDOW(item->data);
    return active;
}

void AddFilters(GtkFileChooser* chooser, const String& filter) {
    if (filter.empty())
        return;
    const std::vector<std::string> pieces = Split(StringToUtf8(filter), '|');
    bool first = true;
    for (std::size_t i = 0; i + 1 < pieces.size(); i += 2) {
        GtkFileFilter* entry = gtk_file_filter_new();
        gtk_file_filter_set_name(entry, pieces[i].c_str());
        for (const std::string& pattern : Split(pieces[i + 1], ';'))
            if (!pattern.empty())
                gtk_file_filter_add_pattern(entry, pattern.c_str());
        gtk_file_chooser_add_filter(chooser, entry);
        if (first)
            gtk_file_chooser_set_filter(chooser, entry);
        first = false;
    }
}

} // namespace

bool TSaveDialog::Execute() {
    const std::string title = StringToUtf8(Title);
    GtkWidget* dialog = gtk_file_chooser_dialog_new(
        title.c_str(), ActiveWindow(), GTK_FILE_CHOOSER_ACTION_SAVE, "_Cancel", GTK_RESPONSE_CANCEL,
        "_Save", GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_resizable(GTK_WINDOW(dialog), TRUE);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, FALSE);
    gtk_file_chooser_set_local_only(chooser, TRUE);
    AddFilters(chooser, Filter);

    if (!FileName.empty()) {
        const std::string previous = StringToUtf8(FileName);
        const TGString folder(g_path_get_dirname(previous.c_str()));
        const TGString name(g_path_get_basename(previous.c_str()));
        if (g_path_is_absolute(previous.c_str()) && g_file_test(folder, G_FILE_TEST_IS_DIR))
            gtk_file_chooser_set_current_folder(chooser, folder);
        gtk_file_chooser_set_current_name(chooser, name);
    }

    bool confirmed = false;
    if (RunModalDialog(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        if (const TGString chosen{gtk_file_chooser_get_filename(chooser)}) {
            std::string path = chosen.Get();
            const std::size_t slash = path.rfind('/');
            const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
            if (!DefaultExt.empty() && base.find('.') == std::string::npos)
                path += "." + StringToUtf8(DefaultExt);
            FileName = Utf8ToString(path);
            confirmed = true;
        }
    }
    gtk_widget_destroy(dialog);
    return confirmed;
}

} // namespace Folivant::Platform
