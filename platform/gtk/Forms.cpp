#include "platform/ui/Forms.h"

#include "base/Text.h"
#include "platform/ui/Application.h"
#include "platform/gtk/FormsGtk.h"
#include "platform/gtk/TrayIconGtk.h"

#include <gdk/gdkkeysyms.h>

#include <string>

namespace Folivant::Platform {

namespace {

// Controls take exactly the size the layout gives them, also text boxes
// lower than the theme draws them.
constexpr const char* LayoutSizesCss =
    "entry { min-height: 0; padding-top: 1px; padding-bottom: 1px; }\n";

void ApplyLayoutProvider(GtkWidget* widget, gpointer provider) {
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget),
                                   GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION - 1);
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), ApplyLayoutProvider, provider);
}

// A family name as a CSS string.
std::string CssString(const String& text) {
    std::string out = "\"";
    for (const char c : StringToUtf8(text)) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c != '\n' && c != '\r')
            out += c;
    }
    return out + '"';
}

// The form's client area, made on first use.
GtkFixed* ClientOf(TForm& form) {
    TForm::TImpl& f = form.Native();
    if (f.Client == nullptr && f.Window != nullptr) {
        f.Client = gtk_fixed_new();
        gtk_container_add(GTK_CONTAINER(f.Window), f.Client);
        ApplyLayoutProvider(f.Client, f.Layout);
        gtk_widget_show(f.Client);
    }
    return f.Client == nullptr ? nullptr : GTK_FIXED(f.Client);
}

// Puts a new control on the form's client area; a form whose window is gone
// leaves the control unplaced, and it is then dropped.
bool Place(TForm& form, GtkWidget* control, int left, int top, int width, int height) {
    gtk_widget_set_size_request(control, width, height);
    GtkFixed* client = ClientOf(form);
    if (client == nullptr) {
        g_object_ref_sink(control);
        g_object_unref(control);
        return false;
    }
    gtk_fixed_put(client, control, left, top);
    ApplyLayoutProvider(control, form.Native().Layout);
    gtk_widget_show(control);
    return true;
}

} // namespace

struct TFormSignals {
    static gboolean KeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
        auto* f = static_cast<TForm::TImpl*>(data);
        GuardCallback([&] {
            TForm& form = *f->Owner;
            if (!form.OnKeyDown)
                return;
            // A key the focused control does not consume comes back with
            // the same time.
            if (f->HaveLastKey && f->LastKeyTime == event->time && f->LastKeyval == event->keyval)
                return;
            f->HaveLastKey = true;
            f->LastKeyTime = event->time;
            f->LastKeyval = event->keyval;
            std::uint16_t key = VirtualKeyOfKeyval(event->keyval);
            if (key != 0)
                form.OnKeyDown(key, ShiftStateOf(event->state));
        });
        return FALSE;
    }
    static gboolean DeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
        auto* f = static_cast<TForm::TImpl*>(data);
        GuardCallback([&] {
            TForm& form = *f->Owner;
            if (form.OnCloseQuery)
                form.OnCloseQuery();
            else if (f->InModal)
                form.SetModalResult(mrCancel);
            else
                form.Hide();
        });
        return TRUE;
    }
    static void Destroyed(GtkWidget*, gpointer data) {
        auto* f = static_cast<TForm::TImpl*>(data);
        f->Window = nullptr;
        f->Client = nullptr;
        f->Host = nullptr;
        if (f->Owner->ModalResult() == mrNone)
            f->Owner->SetModalResult(mrCancel);
    }
    static void EditChanged(GtkEditable*, gpointer data) {
        GuardCallback([&] {
            TEdit& edit = *static_cast<TEdit::TImpl*>(data)->Owner;
            if (edit.OnChange)
                edit.OnChange();
        });
    }
    static void EditDestroyed(GtkWidget*, gpointer data) {
        static_cast<TEdit::TImpl*>(data)->Entry = nullptr;
    }
    static void ImageDestroyed(GtkWidget*, gpointer data) {
        auto* image = static_cast<TImage::TImpl*>(data);
        if (!image->Standalone)
            image->Image = nullptr;
    }
};

// ---- Keys -------------------------------------------------------------------

std::uint16_t VirtualKeyOfKeyval(unsigned keyval) {
    unsigned upper = gdk_keyval_to_upper(keyval);
    if (upper >= GDK_KEY_A && upper <= GDK_KEY_Z)
        return static_cast<std::uint16_t>(u'A' + (upper - GDK_KEY_A));
    if (keyval >= GDK_KEY_0 && keyval <= GDK_KEY_9)
        return static_cast<std::uint16_t>(u'0' + (keyval - GDK_KEY_0));
    if (keyval >= GDK_KEY_F1 && keyval <= GDK_KEY_F24)
        return static_cast<std::uint16_t>(112 + (keyval - GDK_KEY_F1));
    if (keyval >= GDK_KEY_KP_0 && keyval <= GDK_KEY_KP_9)
        return static_cast<std::uint16_t>(96 + (keyval - GDK_KEY_KP_0));
    switch (keyval) {
    case GDK_KEY_BackSpace:
        return 8;
    case GDK_KEY_Tab:
    case GDK_KEY_ISO_Left_Tab:
        return 9;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
        return 13;
    case GDK_KEY_Shift_L:
    case GDK_KEY_Shift_R:
        return 16;
    case GDK_KEY_Control_L:
    case GDK_KEY_Control_R:
        return 17;
    case GDK_KEY_Alt_L:
    case GDK_KEY_Alt_R:
        return 18;
    case GDK_KEY_Pause:
        return 19;
    case GDK_KEY_Caps_Lock:
        return 20;
    case GDK_KEY_Escape:
        return 27;
    case GDK_KEY_space:
        return 32;
    case GDK_KEY_Page_Up:
        return 33;
    case GDK_KEY_Page_Down:
        return 34;
    case GDK_KEY_End:
        return 35;
    case GDK_KEY_Home:
        return 36;
    case GDK_KEY_Left:
        return 37;
    case GDK_KEY_Up:
        return 38;
    case GDK_KEY_Right:
        return 39;
    case GDK_KEY_Down:
        return 40;
    case GDK_KEY_Insert:
        return 45;
    case GDK_KEY_Delete:
        return 46;
    default:
        return 0;
    }
}

TShiftState ShiftStateOf(unsigned state) {
    TShiftState shift = 0;
    if (state & GDK_SHIFT_MASK)
        shift |= ssShift;
    if (state & GDK_CONTROL_MASK)
        shift |= ssCtrl;
    if (state & GDK_MOD1_MASK)
        shift |= ssAlt;
    return shift;
}

// ---- TForm ------------------------------------------------------------------

TForm::TForm() : FImpl(std::make_unique<TImpl>()) {
    TImpl& f = *FImpl;
    f.Owner = this;
    f.Window = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_set_title(f.Window, "");
    f.Layout = gtk_css_provider_new();
    gtk_css_provider_load_from_data(f.Layout, LayoutSizesCss, -1, nullptr);
    ApplyLayoutProvider(GTK_WIDGET(f.Window), f.Layout);
    g_signal_connect(f.Window, "delete-event", G_CALLBACK(TFormSignals::DeleteEvent), &f);
    g_signal_connect(f.Window, "destroy", G_CALLBACK(TFormSignals::Destroyed), &f);
    g_signal_connect(f.Window, "key-press-event", G_CALLBACK(TFormSignals::KeyPress), &f);
}

TForm::~TForm() {
    TImpl& f = *FImpl;
    if (f.Loop != nullptr && g_main_loop_is_running(f.Loop))
        g_main_loop_quit(f.Loop);
    if (f.Window != nullptr) {
        g_signal_handlers_disconnect_by_data(f.Window, &f);
        gtk_widget_destroy(GTK_WIDGET(f.Window));
    }
    if (f.Loop != nullptr)
        g_main_loop_unref(f.Loop);
    g_object_unref(f.Layout);
}

bool TForm::HandleAllocated() const {
    return FImpl->Window != nullptr;
}

void TForm::SetCaption(const String& caption) {
    FCaption = caption;
    if (FImpl->Window != nullptr)
        gtk_window_set_title(FImpl->Window, StringToUtf8(caption).c_str());
}

void TForm::SetBorderStyle(TFormBorderStyle style) {
    FBorderStyle = style;
    GtkWindow* w = FImpl->Window;
    if (w == nullptr)
        return;
    const bool sizeable = style == bsSizeable || style == bsSizeToolWin;
    gtk_window_set_decorated(w, style != bsNone);
    gtk_window_set_resizable(w, sizeable);
    switch (style) {
    case bsDialog:
        gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_DIALOG);
        break;
    case bsToolWindow:
    case bsSizeToolWin:
        gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_UTILITY);
        break;
    default:
        gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_NORMAL);
        break;
    }
}

void TForm::SetStayOnTop(bool stayOnTop) {
    if (FImpl->Window != nullptr)
        gtk_window_set_keep_above(FImpl->Window, stayOnTop);
}

void TForm::SetPosition(TFormPosition position) {
    if (FImpl->Window != nullptr)
        gtk_window_set_position(FImpl->Window,
                                position == poScreenCenter ? GTK_WIN_POS_CENTER : GTK_WIN_POS_NONE);
}

void TForm::SetClientSize(int width, int height) {
    if (GtkFixed* client = ClientOf(*this))
        gtk_widget_set_size_request(GTK_WIDGET(client), width, height);
}

void TForm::SetFont(const String& family, int pixelSize) {
    const std::string css = "* { font-family: " + CssString(family) +
                            ", sans-serif; font-size: " + std::to_string(pixelSize) + "px; }\n" +
                            LayoutSizesCss;
    gtk_css_provider_load_from_data(FImpl->Layout, css.c_str(), -1, nullptr);
}

TOuterBounds TForm::Bounds() const {
    return FImpl->Window != nullptr ? GetOuterBounds(FImpl->Window) : TOuterBounds{};
}

void TForm::SetOuterSize(int width, int height, int minWidth, int minHeight) {
    if (FImpl->Window != nullptr)
        Platform::SetOuterSize(FImpl->Window, width, height, minWidth, minHeight);
}

void TForm::SetOuterPosition(int left, int top) {
    if (FImpl->Window != nullptr)
        Platform::SetOuterPosition(FImpl->Window, left, top);
}

void TForm::SetDefaultSize(int width, int height) {
    if (FImpl->Window != nullptr)
        gtk_window_set_default_size(FImpl->Window, width, height);
}

void TForm::SetMinimumSize(int width, int height) {
    FImpl->MinWidth = width;
    FImpl->MinHeight = height;
    if (FImpl->Window == nullptr)
        return;
    GdkGeometry hints{};
    hints.min_width = width;
    hints.min_height = height;
    gtk_window_set_geometry_hints(FImpl->Window, nullptr, &hints, GDK_HINT_MIN_SIZE);
}

void TForm::Maximize() {
    GtkWindow* w = FImpl->Window;
    if (w == nullptr)
        return;
    gtk_window_set_resizable(w, TRUE);
    // Asked again now that the window is resizable, so the client area no
    // longer holds it at a fixed size.
    const TOuterBounds bounds = GetOuterBounds(w);
    Platform::SetOuterSize(w, bounds.Width, bounds.Height, FImpl->MinWidth, FImpl->MinHeight);
    gtk_window_maximize(w);
}

void TForm::MakeControlHost() {
    TImpl& f = *FImpl;
    if (f.Host != nullptr || f.Window == nullptr)
        return;
    f.Host = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(f.Window), f.Host);
    gtk_widget_show(f.Host);
}

void HostControl(TForm& form, GtkWidget* widget) {
    form.MakeControlHost();
    GtkWidget* host = form.Native().Host;
    if (host == nullptr || widget == nullptr)
        return;
    GtkWidget* parent = gtk_widget_get_parent(widget);
    if (parent == host)
        return;
    if (parent != nullptr) {
        g_object_ref(widget);
        gtk_container_remove(GTK_CONTAINER(parent), widget);
        gtk_container_add(GTK_CONTAINER(host), widget);
        g_object_unref(widget);
    } else {
        gtk_container_add(GTK_CONTAINER(host), widget);
    }
    gtk_widget_set_can_focus(widget, TRUE);
    gtk_widget_set_hexpand(widget, TRUE);
    gtk_widget_set_vexpand(widget, TRUE);
}

void TForm::Show() {
    if (FImpl->Window != nullptr)
        gtk_widget_show(GTK_WIDGET(FImpl->Window));
}

void TForm::Present() {
    if (FImpl->Window == nullptr)
        return;
    gtk_widget_show(GTK_WIDGET(FImpl->Window));
    gtk_window_present(FImpl->Window);
}

void TForm::HideToTray() {
    Platform::HideToTray(FImpl->Window);
}

void TForm::RestoreFromTray() {
    Platform::RestoreFromTray(FImpl->Window);
}

void TForm::Hide() {
    if (FImpl->Window != nullptr)
        gtk_widget_hide(GTK_WIDGET(FImpl->Window));
}

bool TForm::Visible() const {
    return FImpl->Window != nullptr && gtk_widget_get_visible(GTK_WIDGET(FImpl->Window));
}

void TForm::Close() {
    if (FImpl->Window != nullptr)
        gtk_window_close(FImpl->Window);
}

TModalResult TForm::ShowModal() {
    TImpl& f = *FImpl;
    FModalResult = mrNone;
    // A run that is being ended from outside shows no modal form any more:
    // it answers as one closed at once (the password prompt is refused).
    if (f.Window == nullptr || ShutDownRequested())
        return mrCancel;
    struct TModal {
        bool& InModal;
        ~TModal() { InModal = false; }
    } modal{f.InModal};
    f.InModal = true;
    gtk_window_set_modal(f.Window, TRUE);
    gtk_window_present(f.Window);
    if (f.Loop == nullptr)
        f.Loop = g_main_loop_new(nullptr, FALSE);
    // A result set while showing ends the dialog before its loop starts.
    if (FModalResult == mrNone)
        g_main_loop_run(f.Loop);
    if (f.Window != nullptr)
        gtk_widget_hide(GTK_WIDGET(f.Window));
    return FModalResult;
}

void TForm::SetModalResult(TModalResult result) {
    FModalResult = result;
    if (result != mrNone && FImpl->Loop != nullptr && g_main_loop_is_running(FImpl->Loop))
        g_main_loop_quit(FImpl->Loop);
}

// ---- TEdit ------------------------------------------------------------------

TEdit::TEdit(TForm& parent, int left, int top, int width, int height)
    : FImpl(std::make_unique<TImpl>()) {
    FImpl->Owner = this;
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(entry), TRUE);
    gtk_entry_set_activates_default(GTK_ENTRY(entry), FALSE);
    if (!Place(parent, entry, left, top, width, height))
        return;
    FImpl->Entry = GTK_ENTRY(entry);
    g_signal_connect(entry, "changed", G_CALLBACK(TFormSignals::EditChanged), FImpl.get());
    g_signal_connect(entry, "destroy", G_CALLBACK(TFormSignals::EditDestroyed), FImpl.get());
}

TEdit::~TEdit() {
    if (FImpl->Entry != nullptr) {
        g_signal_handlers_disconnect_by_data(FImpl->Entry, FImpl.get());
        gtk_widget_destroy(GTK_WIDGET(FImpl->Entry));
    }
}

bool TEdit::HandleAllocated() const {
    return FImpl->Entry != nullptr;
}

String TEdit::Text() const {
    return FImpl->Entry != nullptr ? Utf8ToString(gtk_entry_get_text(FImpl->Entry)) : String();
}

void TEdit::SetText(const String& text) {
    if (FImpl->Entry != nullptr)
        gtk_entry_set_text(FImpl->Entry, StringToUtf8(text).c_str());
}

void TEdit::SetFocus() {
    if (FImpl->Entry != nullptr)
        gtk_widget_grab_focus(GTK_WIDGET(FImpl->Entry));
}

// ---- TImage -----------------------------------------------------------------

TImage::TImage(TForm& parent, int left, int top, int width, int height)
    : FImpl(std::make_unique<TImpl>()) {
    GtkWidget* image = gtk_image_new();
    if (!Place(parent, image, left, top, width, height))
        return;
    FImpl->Image = GTK_IMAGE(image);
    g_signal_connect(image, "destroy", G_CALLBACK(TFormSignals::ImageDestroyed), FImpl.get());
}

TImage::TImage(int width, int height) : FImpl(std::make_unique<TImpl>()) {
    GtkWidget* image = gtk_image_new();
    g_object_ref_sink(image);
    gtk_widget_set_size_request(image, width, height);
    FImpl->Image = GTK_IMAGE(image);
    FImpl->Standalone = true;
}

TImage::~TImage() {
    if (FImpl->Image == nullptr)
        return;
    g_signal_handlers_disconnect_by_data(FImpl->Image, FImpl.get());
    gtk_widget_destroy(GTK_WIDGET(FImpl->Image));
    if (FImpl->Standalone)
        g_object_unref(FImpl->Image);
}

namespace {

// The laid-out size, or before the first layout the size asked for.
void ClientSizeOf(GtkImage* image, int& width, int& height) {
    width = height = 0;
    if (image == nullptr)
        return;
    GtkWidget* widget = GTK_WIDGET(image);
    int requestedWidth = -1, requestedHeight = -1;
    gtk_widget_get_size_request(widget, &requestedWidth, &requestedHeight);
    if (!gtk_widget_get_realized(widget) && requestedWidth > 0 && requestedHeight > 0) {
        width = requestedWidth;
        height = requestedHeight;
        return;
    }
    width = gtk_widget_get_allocated_width(widget);
    height = gtk_widget_get_allocated_height(widget);
}

} // namespace

int TImage::ClientWidth() const {
    int width, height;
    ClientSizeOf(FImpl->Image, width, height);
    return width;
}

int TImage::ClientHeight() const {
    int width, height;
    ClientSizeOf(FImpl->Image, width, height);
    return height;
}

void TImage::SetPicture(const TPicture& picture) {
    if (FImpl->Image != nullptr)
        gtk_image_set_from_pixbuf(FImpl->Image, NativePixbuf(picture));
}

} // namespace Folivant::Platform
