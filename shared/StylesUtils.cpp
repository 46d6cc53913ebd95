#include "shared/StylesUtils.h"

#include "platform/MessageBox.h"
#include "platform/StyleManager.h"

#include <gtk/gtk.h>

#include <algorithm>

namespace Folivant::Shared {

using Platform::TStyleManager;

namespace {

bool NameLess(const String& a, const String& b) {
    return Platform::CompareStyleNames(a, b) < 0;
}

} // namespace

void TStringList::Add(const String& item) {
    if (FSorted)
        FItems.insert(std::upper_bound(FItems.begin(), FItems.end(), item, NameLess), item);
    else
        FItems.push_back(item);
}

void TStringList::SetSorted(bool sorted) {
    if (sorted && !FSorted)
        std::stable_sort(FItems.begin(), FItems.end(), NameLess);
    FSorted = sorted;
}

void TStylesUtils::TrySetStyle(const String& themeName, bool showError) {
    if (TStyleManager::Global().SetStyle(themeName) || !showError)
        return;
    Platform::MessageBox(u"Style '" + themeName + u"' not found", u"Error",
                         Platform::MB_CLOSE | Platform::MB_ICONERROR);
}

void TStylesUtils::GetAvailables(TStringList& list, bool sorted) {
    list.SetSorted(false);
    list.Clear();
    for (const auto& name : TStyleManager::Global().StyleNames())
        list.Add(name);
    list.SetSorted(sorted);
}

String TStylesUtils::GetActiveTheme() {
    return TStyleManager::Global().ActiveStyleName();
}

void TStylesUtils::DrawThemePreview(const String& themeName, GtkImage* targetImage) {
    if (themeName == Platform::SystemStyleName)
        throw Platform::EStyleError(u"Not available \"Windows\" preview.");
    const Platform::TStyleFile* file = TStyleManager::Global().FindStyleFile(themeName);
    if (file == nullptr)
        throw Platform::EStyleError(u"Style '" + themeName + u"' not found");
    if (targetImage == nullptr)
        throw Platform::EStyleError(u"No image to draw the preview of '" + themeName + u"' into");
    // The image's client area; before it was ever laid out, the size it
    // asks for.
    auto* widget = GTK_WIDGET(targetImage);
    int width = gtk_widget_get_allocated_width(widget);
    int height = gtk_widget_get_allocated_height(widget);
    int requestedWidth = -1;
    int requestedHeight = -1;
    gtk_widget_get_size_request(widget, &requestedWidth, &requestedHeight);
    if (!gtk_widget_get_realized(widget) && requestedWidth > 0 && requestedHeight > 0) {
        width = requestedWidth;
        height = requestedHeight;
    }
    GdkPixbuf* pixbuf = TStyleManager::DrawPreview(*file, width, height, themeName);
    // The image keeps its own reference; the drawing's is dropped here.
    gtk_image_set_from_pixbuf(targetImage, pixbuf);
    g_object_unref(pixbuf);
}

} // namespace Folivant::Shared
