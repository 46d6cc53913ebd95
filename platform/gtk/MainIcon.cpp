#include "platform/gtk/MainIconGtk.h"

#include "platform/ProgramResources.h"
#include "platform/gtk/GlibOwner.h"

#include <gtk/gtk.h>

namespace Folivant::Platform {

GdkPixbuf* LoadMainIcon() {
    const auto data = OwnResource("ICON", "MAINICON");
    if (!data)
        return nullptr;
    const TGOwner<GdkPixbufLoader> loader(gdk_pixbuf_loader_new());
    GdkPixbuf* pixbuf = nullptr;
    const bool written = gdk_pixbuf_loader_write(loader, data->data(), data->size(), nullptr);
    if (gdk_pixbuf_loader_close(loader, nullptr) && written) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf != nullptr)
            g_object_ref(pixbuf);
    }
    return pixbuf;
}

void UseMainIconForWindows() {
    const TGOwner<GdkPixbuf> icon(LoadMainIcon());
    if (icon != nullptr)
        gtk_window_set_default_icon(icon);
}

} // namespace Folivant::Platform
