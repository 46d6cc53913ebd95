#pragma once

// The GTK side of forms, controls and pictures, for platform code and tests
// that drive the native windows.

#include "platform/gtk/FormGeometry.h"
#include "platform/ui/Forms.h"
#include "platform/ui/Picture.h"

#include <gtk/gtk.h>

namespace Folivant::Platform {

struct TPicture::TImpl {
    explicit TImpl(GdkPixbuf* pixbuf) : Pixbuf(pixbuf) {}
    ~TImpl() { g_object_unref(Pixbuf); }
    TImpl(const TImpl&) = delete;
    TImpl& operator=(const TImpl&) = delete;
    GdkPixbuf* Pixbuf; // one reference owned
};

// Takes over the caller's reference to pixbuf; null gives the empty picture.
TPicture PictureOfPixbuf(GdkPixbuf* pixbuf);

inline GdkPixbuf* NativePixbuf(const TPicture& picture) {
    return picture.Empty() ? nullptr : picture.Native()->Pixbuf;
}

struct TForm::TImpl {
    TForm* Owner = nullptr;
    GtkWindow* Window = nullptr;      // null once destroyed
    GtkWidget* Client = nullptr;      // the fixed client area, once there is one
    GtkCssProvider* Layout = nullptr; // the font and the layout's control sizes
    GMainLoop* Loop = nullptr;        // the loop of ShowModal
    GtkWidget* Host = nullptr;        // the area a hosted control fills, once there is one
    bool InModal = false;
    int MinWidth = 0;
    int MinHeight = 0;
    // The key press reported last: a key the focused control does not
    // consume comes back to the window with the same event time.
    std::uint32_t LastKeyTime = 0;
    unsigned LastKeyval = 0;
    bool HaveLastKey = false;
};

struct TEdit::TImpl {
    TEdit* Owner = nullptr;
    GtkEntry* Entry = nullptr; // null once destroyed
};

struct TImage::TImpl {
    GtkImage* Image = nullptr; // null once destroyed
    bool Standalone = false;   // not on a form: the control holds its own reference
};

// The virtual-key code of a GDK key value (letters as their capital letter),
// 0 for keys without one.
std::uint16_t VirtualKeyOfKeyval(unsigned keyval);
// The modifier keys of a GDK modifier state.
TShiftState ShiftStateOf(unsigned state);

// Puts widget into the form's control host as its whole client area (see
// TForm::MakeControlHost); a widget in another window moves.
void HostControl(TForm& form, GtkWidget* widget);

inline GtkWindow* NativeWindow(const TForm& form) {
    return form.Native().Window;
}
inline GtkEntry* NativeEdit(const TEdit& edit) {
    return edit.Native().Entry;
}
inline GtkImage* NativeImage(const TImage& image) {
    return image.Native().Image;
}

} // namespace Folivant::Platform
