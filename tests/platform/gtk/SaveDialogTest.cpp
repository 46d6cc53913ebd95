#include "platform/ui/SaveDialog.h"

#include "base/Text.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using Folivant::String;
using Folivant::StringToUtf8;
using Folivant::Utf8ToString;
using Folivant::Platform::TSaveDialog;
using Folivant::Testing::TempDir;

namespace {

// What the test saw in the open dialog, and how it answered.
struct Seen {
    bool Found = false;
    std::string Title;
    std::string CurrentName;
    std::string Folder;
    std::vector<std::string> FilterNames;
    std::string CurrentFilter;
    bool FilterMatchesZip = false;
    bool FilterMatchesTxt = false;
    bool Confirms = false;
    bool Modal = false;
    // What to type as the name before answering.
    std::string TypeName;
    std::string TypeFolder;
    int Ticks = 0;
};

bool Matches(GtkFileFilter* filter, const char* name) {
    GtkFileFilterInfo info{};
    info.contains = GTK_FILE_FILTER_DISPLAY_NAME;
    info.display_name = name;
    return gtk_file_filter_filter(filter, &info) != FALSE;
}

GtkFileChooserDialog* OpenChooser() {
    GtkFileChooserDialog* found = nullptr;
    GList* windows = gtk_window_list_toplevels();
    for (GList* item = windows; item != nullptr; item = item->next)
        if (GTK_IS_FILE_CHOOSER_DIALOG(item->data) &&
            gtk_widget_get_visible(GTK_WIDGET(item->data)))
            found = GTK_FILE_CHOOSER_DIALOG(item->data);
    g_list_free(windows);
    return found;
}

// Runs from a timeout inside the dialog's own loop: records what the dialog
// shows and answers it; gives up after five seconds so a dialog that never
// appears cannot hang the test.
gboolean InspectAndAnswer(gpointer data) {
    auto& seen = *static_cast<Seen*>(data);
    GtkFileChooserDialog* dialog = OpenChooser();
    if (dialog == nullptr)
        return ++seen.Ticks < 100 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    // The folder is set asynchronously; wait until it is there.
    gchar* folder = gtk_file_chooser_get_current_folder(chooser);
    if (!seen.TypeFolder.empty() && (folder == nullptr || seen.TypeFolder != folder) &&
        ++seen.Ticks < 100) {
        g_free(folder);
        return G_SOURCE_CONTINUE;
    }
    seen.Found = true;
    seen.Folder = folder != nullptr ? folder : "";
    g_free(folder);
    seen.Title = gtk_window_get_title(GTK_WINDOW(dialog));
    seen.Modal = gtk_window_get_modal(GTK_WINDOW(dialog));
    gchar* name = gtk_file_chooser_get_current_name(chooser);
    seen.CurrentName = name != nullptr ? name : "";
    g_free(name);
    seen.Confirms = gtk_file_chooser_get_do_overwrite_confirmation(chooser);
    GSList* filters = gtk_file_chooser_list_filters(chooser);
    for (GSList* item = filters; item != nullptr; item = item->next)
        seen.FilterNames.emplace_back(gtk_file_filter_get_name(GTK_FILE_FILTER(item->data)));
    g_slist_free(filters);
    if (GtkFileFilter* current = gtk_file_chooser_get_filter(chooser)) {
        seen.CurrentFilter = gtk_file_filter_get_name(current);
        seen.FilterMatchesZip = Matches(current, "archive.zip");
        seen.FilterMatchesTxt = Matches(current, "notes.txt");
    }
    if (!seen.TypeName.empty()) {
        gtk_file_chooser_set_current_name(chooser, seen.TypeName.c_str());
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    } else {
        gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    }
    return G_SOURCE_REMOVE;
}

bool RunDialog(TSaveDialog& dialog, Seen& seen) {
    g_timeout_add(50, &InspectAndAnswer, &seen);
    return dialog.Execute();
}

} // namespace

TEST(SaveDialog, OffersTheFilterAndRemembersTheLastNameForTheRun) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "needs a display";
    TempDir dir;
    TSaveDialog dialog;
    dialog.DefaultExt = u"zip";
    dialog.Filter = u"ZIP|*.zip";
    dialog.FileName = Utf8ToString((dir / "data.zip").string());

    Seen first;
    first.TypeFolder = dir.Path().string();
    first.TypeName = "chosen"; // typed without an extension
    ASSERT_TRUE(RunDialog(dialog, first));
    ASSERT_TRUE(first.Found);
    EXPECT_EQ(first.CurrentName, "data.zip");
    EXPECT_EQ(first.Folder, dir.Path().string());
    EXPECT_EQ(first.FilterNames, std::vector<std::string>{"ZIP"});
    EXPECT_EQ(first.CurrentFilter, "ZIP");
    EXPECT_TRUE(first.FilterMatchesZip);
    EXPECT_FALSE(first.FilterMatchesTxt);
    EXPECT_FALSE(first.Confirms) << "an existing file is replaced without asking";
    EXPECT_TRUE(first.Modal);
    EXPECT_EQ(StringToUtf8(dialog.FileName), (dir / "chosen.zip").string());

    // The next use opens on the name chosen last; cancelling keeps it.
    Seen second;
    second.TypeFolder = dir.Path().string();
    EXPECT_FALSE(RunDialog(dialog, second));
    ASSERT_TRUE(second.Found);
    EXPECT_EQ(second.CurrentName, "chosen.zip");
    EXPECT_EQ(StringToUtf8(dialog.FileName), (dir / "chosen.zip").string());

    // A name typed with an extension keeps it.
    Seen third;
    third.TypeFolder = dir.Path().string();
    third.TypeName = "notes.txt";
    ASSERT_TRUE(RunDialog(dialog, third));
    EXPECT_EQ(StringToUtf8(dialog.FileName), (dir / "notes.txt").string());
}

TEST(SaveDialog, StartsEmptyAndReadsSeveralFilters) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "needs a display";
    // Without a name the dialog opens on the working folder, and its name
    // box completes a lone folder there on its own; an empty folder keeps
    // the box as the dialog left it.
    TempDir empty;
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(empty.Path());
    struct TRestore {
        std::filesystem::path Path;
        ~TRestore() { std::filesystem::current_path(Path); }
    } restore{previous};
    TSaveDialog dialog;
    dialog.Filter = u"Pictures|*.png;*.jpg|All files|*";
    Seen seen;
    EXPECT_FALSE(RunDialog(dialog, seen));
    ASSERT_TRUE(seen.Found);
    EXPECT_EQ(seen.CurrentName, "");
    const std::vector<std::string> names{"Pictures", "All files"};
    EXPECT_EQ(seen.FilterNames, names);
    EXPECT_EQ(seen.CurrentFilter, "Pictures");
    EXPECT_TRUE(dialog.FileName.empty());
}
