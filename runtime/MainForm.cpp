#include "runtime/MainForm.h"

#include "base/Text.h"
#include "browsercontrol/WebBrowserControl.h"
#include "platform/ui/Application.h"
#include "platform/ui/KeyMap.h"
#include "desktop/LinkServices.h"
#include "platform/ui/MediaBridge.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/TrayIcon.h"
#include "platform/SpecialFolders.h"
#include "runtime/ExeHtmlSite.h"
#include "runtime/RestrictedForm.h"
#include "shared/FvpResolver.h"
#include "shared/IEBrowserFix.h"
#include "shared/MediaEntries.h"
#include "shared/PublicationSettings.h"
#include "desktop/StylesUtils.h"
#include "desktop/SysUtils.h"
#include "shared/Trace.h"

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

void TraceStep(const char* step) {
    std::string event = "FormCreate ";
    event += step;
    Trace(event);
}

} // namespace

TMainForm::TMainForm() : FAlive(std::make_shared<bool>(true)) {
    FWindow = std::make_unique<Platform::TForm>();
    // The browser window fills the client area; it is made before any size
    // is asked for, so that a fixed border's size holds for it.
    FWindow->MakeControlHost();
    SetCaption(u"[Publication Title]");
    FWindow->SetPosition(Platform::poScreenCenter);
    FWindow->SetDefaultSize(LayoutClientWidth, LayoutClientHeight);
    FWindow->SetMinimumSize(MinimumWidth, MinimumHeight);
    // Key preview: the window sees key presses before its controls.
    FWindow->OnKeyDown = [this](std::uint16_t& key, unsigned shift) { FormKeyDown(key, shift); };
    FWindow->OnCloseQuery = [this] { DoClose(); };
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
    FWindow.reset();
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
        Platform::StartMediaBridge(Shared::MediaEntrySource(GlobalExeHtmlSite->ZipFile()));
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
    FWindow->SetOuterSize(settings.AppWindowWidth, settings.AppWindowHeight, MinimumWidth,
                          MinimumHeight);
    HideJavaScriptError = settings.HideJsErrors;
    if (settings.AppWindowStyle == 1) {
        ApplyBorderStyle(Platform::bsNone);
        // A borderless window that fills the screen still follows the
        // screen's size, also when it is smaller than the size asked for.
        FWindow->Maximize();
        FMaximized = true;
    } else {
        const std::int32_t border = settings.AppBorderStyle;
        // Values outside 0 to 5 give the default, sizeable border.
        ApplyBorderStyle(border >= Platform::bsNone && border <= Platform::bsSizeToolWin
                             ? static_cast<TFormBorderStyle>(border)
                             : Platform::bsSizeable);
        if (settings.AppWindowOrder == 1) {
            FWindow->SetStayOnTop(true);
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
    FBrowserForm->SetParent(*this, *FWindow);
    FBrowserForm->WebBrowser->Show();
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
    FBrowserForm->WebBrowser->SaveSnapshot(path, [shot = std::string(path)](bool written) {
        if (written)
            Trace("Screenshot " + shot);
    });
}

void TMainForm::ApplyBorderStyle(TFormBorderStyle style) {
    FBorderStyle = style;
    FWindow->SetBorderStyle(style);
    // The outer size asked for holds for a fixed border too.
    const Platform::TOuterBounds bounds = FWindow->Bounds();
    FWindow->SetOuterSize(bounds.Width, bounds.Height, MinimumWidth, MinimumHeight);
}

void TMainForm::SetCaption(const String& caption) {
    FCaption = caption;
    FWindow->SetCaption(caption);
}

void TMainForm::Show() {
    FWindow->Show();
    if (FBrowserForm)
        FBrowserForm->Show();
}

int TMainForm::Left() const {
    return FWindow->Bounds().Left;
}
int TMainForm::Top() const {
    return FWindow->Bounds().Top;
}
int TMainForm::Width() const {
    return FWindow->Bounds().Width;
}
int TMainForm::Height() const {
    return FWindow->Bounds().Height;
}

void TMainForm::Close() {
    if (FClosed || FCloseQueued)
        return;
    FCloseQueued = true;
    Platform::PostCallWhileAlive(FAlive, [this] { DoClose(); });
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
    FWindow->Hide();
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
    Platform::StopMediaBridge();
}

void TMainForm::FormKeyDown(std::uint16_t& Key, unsigned) {
    if (Platform::KeyClosesMainWindow(Key, FEscapeClose))
        Close();
}

void TMainForm::WebBrowserKeyDown(TWebBrowserControl*, std::uint16_t& Key, std::uint16_t,
                                  unsigned) {
    if (Platform::KeyClosesMainWindow(Key, FEscapeClose))
        Close();
}

void TMainForm::TrayIconClick() {
    if (!FIsMinimized) {
        FIsMinimized = true;
        FWindow->HideToTray();
    } else {
        FIsMinimized = false;
        FWindow->RestoreFromTray();
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
