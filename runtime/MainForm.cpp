#include "runtime/MainForm.h"

#include "archive/Text.h"
#include "browsercontrol/WebBrowserControl.h"
#include "platform/Application.h"
#include "platform/FormGeometry.h"
#include "platform/LinkServices.h"
#include "platform/MediaBridge.h"
#include "platform/MessageBox.h"
#include "platform/TrayIcon.h"
#include "platform/SpecialFolders.h"
#include "runtime/ExeHtmlSite.h"
#include "runtime/RestrictedForm.h"
#include "shared/FvpResolver.h"
#include "shared/IEBrowserFix.h"
#include "shared/MediaEntries.h"
#include "shared/PublicationSettings.h"
#include "shared/StylesUtils.h"
#include "shared/SysUtils.h"
#include "shared/Trace.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdlib>

namespace Folivant::Runtime {

using namespace Folivant::Shared;
using BrowserControl::TWebBrowserControl;

namespace {

// The layout of the window.
constexpr int LayoutClientWidth = 651;
constexpr int LayoutClientHeight = 409;
constexpr int MinimumWidth = 300;
constexpr int MinimumHeight = 200;

unsigned ShiftOfState(unsigned state) {
    unsigned shift = 0;
    if (state & GDK_SHIFT_MASK)
        shift |= BrowserControl::ssShift;
    if (state & GDK_CONTROL_MASK)
        shift |= BrowserControl::ssCtrl;
    if (state & GDK_MOD1_MASK)
        shift |= BrowserControl::ssAlt;
    return shift;
}

void TraceStep(const char* step) {
    std::string event = "FormCreate ";
    event += step;
    Trace(event);
}

} // namespace

struct TMainFormSignals {
    static gboolean KeyPress(GtkWidget*, GdkEventKey* event, gpointer data) {
        try {
            auto* self = static_cast<TMainForm*>(data);
            // A key the page does not consume comes back with the same time.
            if (self->FHaveLastKey && self->FLastKeyTime == event->time &&
                self->FLastKeyval == event->keyval)
                return FALSE;
            self->FHaveLastKey = true;
            self->FLastKeyTime = event->time;
            self->FLastKeyval = event->keyval;
            std::uint16_t key = BrowserControl::VirtualKeyOf(event->keyval);
            if (key != 0)
                self->FormKeyDown(key, ShiftOfState(event->state));
        } catch (...) {
            Platform::HandleCallbackException();
        }
        return FALSE;
    }

    static gboolean Delete(GtkWidget*, GdkEvent*, gpointer data) {
        try {
            static_cast<TMainForm*>(data)->DoClose();
        } catch (...) {
            Platform::HandleCallbackException();
        }
        return TRUE;
    }

    static void Snapshot(GObject* source, GAsyncResult* result, gpointer data) {
        auto* path = static_cast<std::string*>(data);
        GError* error = nullptr;
        cairo_surface_t* surface =
            webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (surface != nullptr) {
            if (cairo_surface_write_to_png(surface, path->c_str()) == CAIRO_STATUS_SUCCESS)
                Trace("Screenshot " + *path);
            cairo_surface_destroy(surface);
        }
        if (error != nullptr)
            g_error_free(error);
        delete path;
    }
};

TMainForm::TMainForm() : FAlive(std::make_shared<bool>(true)) {
    FWindow = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    g_object_ref_sink(FWindow);
    FClientArea = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(FWindow), FClientArea);
    gtk_widget_show(FClientArea);
    SetCaption(u"[Publication Title]");
    gtk_window_set_position(FWindow, GTK_WIN_POS_CENTER);
    gtk_window_set_default_size(FWindow, LayoutClientWidth, LayoutClientHeight);
    GdkGeometry hints{};
    hints.min_width = MinimumWidth;
    hints.min_height = MinimumHeight;
    gtk_window_set_geometry_hints(FWindow, nullptr, &hints, GDK_HINT_MIN_SIZE);
    // Key preview: the window sees key presses before its controls.
    g_signal_connect(FWindow, "key-press-event", G_CALLBACK(TMainFormSignals::KeyPress), this);
    g_signal_connect(FWindow, "delete-event", G_CALLBACK(TMainFormSignals::Delete), this);
    try {
        FormCreate();
    } catch (...) {
        // Reported like any failure in the message loop; the window stays.
        Trace("FormCreate failed");
        Platform::HandleCallbackException();
    }
}

TMainForm::~TMainForm() {
    *FAlive = false;
    if (!FClosed) {
        FBrowserForm.reset();
        FFvpProtocol.reset();
    }
    FLinkActions.reset();
    FTrayIcon.reset();
    if (ActiveMainForm == this)
        ActiveMainForm = nullptr;
    gtk_widget_destroy(GTK_WIDGET(FWindow));
    g_object_unref(FWindow);
}

void TMainForm::FormCreate() {
    // Every setting with its default comes from the one reader of the
    // settings, so the window and the settings table cannot disagree.
    const TPublicationSettings settings = ReadPublicationSettings(GlobalExeHtmlSite->IniFile());
    // File and message dialogs are GTK's own classic dialogs already.
    FIsMinimized = false;
    ActiveMainForm = this;
    TraceStep("ActiveMainForm");
    FAppTheme = settings.AppTheme;
    TStylesUtils::TrySetStyle(FAppTheme, true);
    TraceStep("TrySetStyle");
    FAppTitle = settings.AppTitle;
    AskAccessPassword(settings.AppPassword);
    TraceStep("AskAccessPassword");
    TIEBrowserFix::Initialize();
    TraceStep("IEBrowserFix.Initialize");
    CreateFvpProtocol();
    TraceStep("CreateFvpProtocol");
    // Media elements cannot read fvp: addresses; they play archive entries
    // from the private loopback endpoint, which needs the archive served.
    // Without it the pages still show; only their media elements cannot
    // play, so a failure here does not hold up the window.
    try {
        Platform::TMediaBridge::Start(Shared::MediaEntrySource(GlobalExeHtmlSite->ZipFile()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    if (settings.UseTrayIcon) {
        FTrayIcon = std::make_unique<Platform::TTrayIcon>(FCaption, [this] { TrayIconClick(); });
        TraceStep("TrayIcon");
    }
    FAppRootDir = settings.RootDirName;
    FEscapeClose = settings.AppEscapeClose;
    FIndexFile = u"fvp://" + settings.IndexPage;
    FExtractExts = settings.ExtractFileExts;
    FExecuteExts = settings.ExecuteFileExts;
    Platform::SetOuterSize(FWindow, settings.AppWindowWidth, settings.AppWindowHeight, MinimumWidth,
                           MinimumHeight);
    HideJavaScriptError = settings.HideJsErrors;
    if (settings.AppWindowStyle == 1) {
        ApplyBorderStyle(bsNone);
        // A borderless window that fills the screen still follows the
        // screen's size, also when it is smaller than the size asked for.
        gtk_window_set_resizable(FWindow, TRUE);
        Platform::TOuterBounds bounds = Platform::GetOuterBounds(FWindow);
        Platform::SetOuterSize(FWindow, bounds.Width, bounds.Height, MinimumWidth, MinimumHeight);
        gtk_window_maximize(FWindow);
        FMaximized = true;
    } else {
        const std::int32_t border = settings.AppBorderStyle;
        // Values outside 0 to 5 give the default, sizeable border.
        ApplyBorderStyle(border >= bsNone && border <= bsSizeToolWin
                             ? static_cast<TFormBorderStyle>(border)
                             : bsSizeable);
        if (settings.AppWindowOrder == 1) {
            gtk_window_set_keep_above(FWindow, TRUE);
            FStayOnTop = true;
        }
    }
    SetCaption(FAppTitle);
    if (FTrayIcon)
        FTrayIcon->SetHint(FAppTitle);
    TraceStep("Caption");
    CreateBrowserWindow();
    TraceStep("CreateBrowserWindow");
}

void TMainForm::AskAccessPassword(const String& password) {
    // A refused password ends the run here with exit code 0, before anything
    // of the run is written.
    TRestrictedForm::AskAccessPassword(password, FAppTitle);
}

void TMainForm::CreateFvpProtocol() {
    FFvpProtocol = Shared::CreateFvpProtocol(GlobalExeHtmlSite->ZipFile(), [](const String& text) {
        Platform::MessageBox(text, Platform::ApplicationTitle(), Platform::MB_OK);
    });
}

void TMainForm::CreateBrowserWindow() {
    FBrowserForm = std::make_unique<TBrowserForm>();
    FBrowserForm->SetParent(*this, FClientArea);
    gtk_widget_set_visible(FBrowserForm->WebBrowser->Widget(), TRUE);
    FBrowserForm->WebBrowser->OnKeyDown = [this](TWebBrowserControl* sender, std::uint16_t& key,
                                                 std::uint16_t scan, unsigned shift) {
        WebBrowserKeyDown(sender, key, scan, shift);
    };
    FBrowserForm->WebBrowser->OnDocumentComplete = [this](TWebBrowserControl* sender) {
        std::string event = "DocumentComplete ";
        event += StringToUtf8(sender->LocationURL());
        Trace(event);
        if (!FScreenshotTaken)
            TakeScreenshot();
    };
    FBrowserForm->WebBrowser->Navigate(FIndexFile);
}

void TMainForm::TakeScreenshot() {
    FScreenshotTaken = true;
    const char* path = std::getenv("FOLIVANT_SCREENSHOT");
    if (path == nullptr || *path == '\0' || !FBrowserForm)
        return;
    webkit_web_view_get_snapshot(FBrowserForm->WebBrowser->WebView(),
                                 WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                                 nullptr, TMainFormSignals::Snapshot, new std::string(path));
}

void TMainForm::ApplyBorderStyle(TFormBorderStyle style) {
    FBorderStyle = style;
    GtkWindow* w = FWindow;
    switch (style) {
    case bsNone:
        gtk_window_set_decorated(w, FALSE);
        gtk_window_set_resizable(w, FALSE);
        break;
    case bsSingle:
        gtk_window_set_decorated(w, TRUE);
        gtk_window_set_resizable(w, FALSE);
        break;
    case bsSizeable:
        gtk_window_set_decorated(w, TRUE);
        gtk_window_set_resizable(w, TRUE);
        break;
    case bsDialog:
        gtk_window_set_decorated(w, TRUE);
        gtk_window_set_resizable(w, FALSE);
        gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_DIALOG);
        break;
    case bsToolWindow:
        gtk_window_set_decorated(w, TRUE);
        gtk_window_set_resizable(w, FALSE);
        gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_UTILITY);
        break;
    case bsSizeToolWin:
        gtk_window_set_decorated(w, TRUE);
        gtk_window_set_resizable(w, TRUE);
        gtk_window_set_type_hint(w, GDK_WINDOW_TYPE_HINT_UTILITY);
        break;
    }
    // The outer size asked for holds for a fixed border too.
    Platform::TOuterBounds bounds = Platform::GetOuterBounds(w);
    Platform::SetOuterSize(w, bounds.Width, bounds.Height, MinimumWidth, MinimumHeight);
}

void TMainForm::SetCaption(const String& caption) {
    FCaption = caption;
    gtk_window_set_title(FWindow, StringToUtf8(caption).c_str());
}

void TMainForm::Show() {
    gtk_widget_show(GTK_WIDGET(FWindow));
    if (FBrowserForm)
        FBrowserForm->Show();
}

int TMainForm::Left() const {
    return Platform::GetOuterBounds(FWindow).Left;
}
int TMainForm::Top() const {
    return Platform::GetOuterBounds(FWindow).Top;
}
int TMainForm::Width() const {
    return Platform::GetOuterBounds(FWindow).Width;
}
int TMainForm::Height() const {
    return Platform::GetOuterBounds(FWindow).Height;
}

void TMainForm::Close() {
    if (FClosed || FCloseQueued)
        return;
    FCloseQueued = true;
    struct TRequest {
        std::weak_ptr<bool> Alive;
        TMainForm* Form;
    };
    g_idle_add(
        [](gpointer data) -> gboolean {
            auto* request = static_cast<TRequest*>(data);
            try {
                auto alive = request->Alive.lock();
                if (alive && *alive)
                    request->Form->DoClose();
            } catch (...) {
                Platform::HandleCallbackException();
            }
            delete request;
            return G_SOURCE_REMOVE;
        },
        new TRequest{FAlive, this});
}

void TMainForm::DoClose() {
    if (FClosed)
        return;
    FClosed = true;
    try {
        FormClose();
    } catch (...) {
        Platform::HandleCallbackException();
    }
    gtk_widget_hide(GTK_WIDGET(FWindow));
    Platform::TerminateMessageLoop();
}

void TMainForm::FormClose() {
    Trace("FormClose begin");
    TIEBrowserFix::Uninitialize();
    Trace("FormClose IEBrowserFix.Uninitialize");
    FBrowserForm.reset();
    Trace("FormClose BrowserForm freed");
    FFvpProtocol.reset();
    Trace("FormClose FvpProtocol freed");
    Platform::TMediaBridge::Stop();
}

void TMainForm::FormKeyDown(std::uint16_t& Key, unsigned) {
    if (FEscapeClose && Key == BrowserControl::VK_ESCAPE)
        Close();
}

void TMainForm::WebBrowserKeyDown(TWebBrowserControl*, std::uint16_t& Key, std::uint16_t,
                                  unsigned) {
    if (FEscapeClose && Key == BrowserControl::VK_ESCAPE)
        Close();
}

void TMainForm::TrayIconClick() {
    if (!FIsMinimized) {
        FIsMinimized = true;
        Platform::HideToTray(FWindow);
    } else {
        FIsMinimized = false;
        Platform::RestoreFromTray(FWindow);
    }
}

TLinkActions& TMainForm::LinkActions() {
    if (!FLinkActions)
        FLinkActions = std::make_unique<Platform::TPlatformLinkActions>(
            GlobalExeHtmlSite->ZipFile(),
            TLinkActionsSettings{FAppRootDir, FExtractExts, FExecuteExts,
                                 Platform::ExecutableDir()});
    return *FLinkActions;
}

bool TMainForm::OpenFile(const String& filePath) {
    return LinkActions().OpenFile(filePath);
}

bool TMainForm::PlayWavSound(const String& wavPath, bool loop) {
    return LinkActions().PlayWavSound(wavPath, loop);
}

void TMainForm::DownloadFile(const String& url) {
    LinkActions().SaveEntryAs(url);
}

bool TMainForm::HandleDownloableFiles(const String& url) {
    return LinkActions().HandleDownloableFiles(url);
}

void TMainForm::StopWavSound() {
    TSysUtils::StopCurrentSound();
}

} // namespace Folivant::Runtime
