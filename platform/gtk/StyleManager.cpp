#include "platform/gtk/StyleManagerGtk.h"

#include "base/Text.h"
#include "platform/gtk/FormsGtk.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cstring>

namespace Folivant::Platform {

namespace {

std::string CaseFolded(const String& s) {
    const std::string utf8 = StringToUtf8(s);
    gchar* folded = g_utf8_casefold(utf8.c_str(), static_cast<gssize>(utf8.size()));
    std::string result = folded;
    g_free(folded);
    return result;
}

// Each widget of the preview takes the private style sheet, above the
// screen-wide one, so that the preview shows the style and not the active
// one.
void ApplyPreviewProvider(GtkWidget* widget, gpointer provider) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                   GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), ApplyPreviewProvider, provider);
}

GtkCssProvider* NewProvider(const std::string& styleSheet) {
    GtkCssProvider* provider = gtk_css_provider_new();
    // Rules that do not parse are skipped, as CSS does; the rest apply.
    gtk_css_provider_load_from_data(provider, styleSheet.data(),
                                    static_cast<gssize>(styleSheet.size()), nullptr);
    return provider;
}

} // namespace

int CompareStyleNames(const String& a, const String& b) {
    const std::string fa = CaseFolded(a);
    const std::string fb = CaseFolded(b);
    if (fa == fb)
        return 0;
    const int collated = g_utf8_collate(fa.c_str(), fb.c_str());
    // Collation may call distinct texts equal; they are still distinct names.
    return collated != 0 ? collated : (fa < fb ? -1 : 1);
}

// The style sheets of the styles activated once, as providers, and the one
// installed for the screen now.
struct TStyleManager::TSheets {
    // One reference owned each.
    std::vector<GtkCssProvider*> Loaded;
    GtkCssProvider* Active = nullptr;
};

TStyleManager::TStyleManager() : FOwnResources(true), FSheets(std::make_unique<TSheets>()) {}

TStyleManager::TStyleManager(std::vector<TResource> resources)
    : FGivenResources(std::move(resources)), FSheets(std::make_unique<TSheets>()) {}

TStyleManager::~TStyleManager() {
    if (FSheets->Active != nullptr)
        if (GdkScreen* screen = gdk_screen_get_default())
            gtk_style_context_remove_provider_for_screen(screen,
                                                         GTK_STYLE_PROVIDER(FSheets->Active));
    for (GtkCssProvider* provider : FSheets->Loaded)
        g_object_unref(provider);
}

TStyleManager& TStyleManager::Global() {
    // Never destroyed: the screen-wide provider must outlive every window,
    // up to the very end of the process.
    static auto* manager = new TStyleManager();
    return *manager;
}

void TStyleManager::LoadSheet(const TStyleFile& file) {
    FSheets->Loaded.push_back(NewProvider(file.StyleSheet));
}

void TStyleManager::Activate(const String& name, std::size_t loaded) {
    if (name == FActiveName)
        return;
    GtkCssProvider* provider = loaded == NoSheet ? nullptr : FSheets->Loaded[loaded];
    // Changing the screen's providers restyles and redraws every open
    // window at once.
    if (GdkScreen* screen = gdk_screen_get_default()) {
        if (FSheets->Active != nullptr)
            gtk_style_context_remove_provider_for_screen(screen,
                                                         GTK_STYLE_PROVIDER(FSheets->Active));
        if (provider != nullptr)
            gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(provider),
                                                      GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    }
    FActiveName = name;
    FSheets->Active = provider;
}

TPicture TStyleManager::PreviewPicture(const TStyleFile& file, int width, int height,
                                       const String& caption) {
    return PictureOfPixbuf(DrawStylePreview(file, width, height, caption));
}

GdkPixbuf* DrawStylePreview(const TStyleFile& file, int width, int height, const String& caption) {
    if (gdk_screen_get_default() == nullptr)
        throw EStyleError(u"There is no display to draw the preview of '" + file.Name + u"' on");
    width = std::max(width, 1);
    height = std::max(height, 1);
    GtkCssProvider* provider = NewProvider(file.StyleSheet);

    GtkWidget* window = gtk_offscreen_window_new();
    GtkWidget* frame = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), frame);

    GtkWidget* header = gtk_header_bar_new();
    gtk_style_context_add_class(gtk_widget_get_style_context(header), "titlebar");
    gtk_header_bar_set_title(GTK_HEADER_BAR(header), StringToUtf8(caption).c_str());
    gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(header), TRUE);
    gtk_box_pack_start(GTK_BOX(frame), header, FALSE, FALSE, 0);

    GtkWidget* grid = gtk_grid_new();
    g_object_set(grid, "margin", 8, "row-spacing", 6, "column-spacing", 6, nullptr);
    gtk_box_pack_start(GTK_BOX(frame), grid, TRUE, TRUE, 0);
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), "Edit");
    gtk_widget_set_hexpand(entry, TRUE);
    gtk_grid_attach(GTK_GRID(grid), gtk_label_new("Label"), 0, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), entry, 1, 0, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), gtk_button_new_with_label("Button"), 0, 1, 1, 1);
    GtkWidget* check = gtk_check_button_new_with_label("Check");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), TRUE);
    gtk_grid_attach(GTK_GRID(grid), check, 1, 1, 1, 1);
    GtkWidget* list = gtk_list_box_new();
    for (const char* text : {"Selected", "Item"})
        gtk_list_box_insert(GTK_LIST_BOX(list), gtk_label_new(text), -1);
    gtk_list_box_select_row(GTK_LIST_BOX(list),
                            gtk_list_box_get_row_at_index(GTK_LIST_BOX(list), 0));
    gtk_grid_attach(GTK_GRID(grid), list, 0, 2, 2, 1);
    GtkAdjustment* adjustment = gtk_adjustment_new(20, 0, 100, 1, 10, 30);
    GtkWidget* scrollbar = gtk_scrollbar_new(GTK_ORIENTATION_HORIZONTAL, adjustment);
    gtk_grid_attach(GTK_GRID(grid), scrollbar, 0, 3, 2, 1);

    gtk_widget_show_all(window);
    ApplyPreviewProvider(window, provider);
    GtkRequisition minimum{};
    gtk_widget_get_preferred_size(window, &minimum, nullptr);
    GtkAllocation allocation{0, 0, std::max(width, minimum.width),
                             std::max(height, minimum.height)};
    gtk_widget_size_allocate(window, &allocation);

    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(window, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_surface(surface, 0, 0, width, height);
    cairo_surface_destroy(surface);
    gtk_widget_destroy(window);
    g_object_unref(provider);
    if (pixbuf == nullptr)
        throw EOutOfMemory(u"Out of memory");
    return pixbuf;
}

} // namespace Folivant::Platform
