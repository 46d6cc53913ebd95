#include "platform/ui/Picture.h"

#include "platform/gtk/FormsGtk.h"

namespace Folivant::Platform {

TPicture::TPicture() = default;
TPicture::~TPicture() = default;
TPicture::TPicture(const TPicture&) = default;
TPicture& TPicture::operator=(const TPicture&) = default;
TPicture::TPicture(std::shared_ptr<TImpl> impl) : FImpl(std::move(impl)) {}

TPicture PictureOfPixbuf(GdkPixbuf* pixbuf) {
    if (pixbuf == nullptr)
        return TPicture();
    return TPicture(std::make_shared<TPicture::TImpl>(pixbuf));
}

TPicture TPicture::FromPng(const std::uint8_t* data, std::size_t size) {
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (loader == nullptr)
        return TPicture();
    GdkPixbuf* pixbuf = nullptr;
    if (gdk_pixbuf_loader_write(loader, data, size, nullptr) &&
        gdk_pixbuf_loader_close(loader, nullptr)) {
        pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf != nullptr)
            g_object_ref(pixbuf);
    } else {
        gdk_pixbuf_loader_close(loader, nullptr);
    }
    g_object_unref(loader);
    return PictureOfPixbuf(pixbuf);
}

int TPicture::Width() const {
    return Empty() ? 0 : gdk_pixbuf_get_width(FImpl->Pixbuf);
}

int TPicture::Height() const {
    return Empty() ? 0 : gdk_pixbuf_get_height(FImpl->Pixbuf);
}

} // namespace Folivant::Platform
