#pragma once

// The publication's main window: it turns the publication settings into the
// window's title, size, border and stack order, serves the archive to the
// browser through the fvp scheme, embeds the first browser window and offers
// the host operations that browser windows and the script bridge call.

#include "base/Classes.h"
#include "platform/ui/Forms.h"
#include "shared/AsyncPlugProto.h"
#include "desktop/BrowserForm.h"
#include "shared/GlobalMainForm.h"

#include <cstdint>
#include <memory>

namespace Folivant::Shared {
class TLinkActions;
}
namespace Folivant::Platform {
class TTrayIcon;
}

namespace Folivant::Runtime {

using Platform::TFormBorderStyle;

class TMainForm : public Shared::TGlobalMainForm {
public:
    // Builds the window from its layout and runs FormCreate. A failure inside
    // FormCreate is reported and the remaining steps are skipped; the window
    // is still created.
    TMainForm();
    ~TMainForm() override;

    // Shows the window (centred when first shown).
    void Show();
    Platform::TForm& Window() const { return *FWindow; }
    Shared::TBrowserForm* BrowserForm() const { return FBrowserForm.get(); }
    bool Closed() const { return FClosed; }

    // TGlobalMainForm.
    bool IsRuntime() override { return true; }
    bool OpenFile(const String& filePath) override;
    bool PlayWavSound(const String& wavPath, bool loop) override;
    bool HandleDownloableFiles(const String& url) override;
    void DownloadFile(const String& url) override;
    void StopWavSound() override;
    String Caption() const override { return FCaption; }
    int Left() const override;
    int Top() const override;
    int Width() const override;
    int Height() const override;
    // Closes the window once the current handler has returned; closing ends
    // the application.
    void Close() override;

    // Handlers.
    void FormCreate();
    void FormClose();
    void FormKeyDown(std::uint16_t& Key, unsigned Shift);
    void TrayIconClick();

    // The settings as the window applied them (for inspection).
    TFormBorderStyle BorderStyle() const { return FBorderStyle; }
    bool StayOnTop() const { return FStayOnTop; }
    bool Maximized() const { return FMaximized; }
    bool EscapeClose() const { return FEscapeClose; }
    Platform::TTrayIcon* TrayIcon() const { return FTrayIcon.get(); }

    // Runs the close now: FormClose, then the window goes and the
    // application's loop ends.
    void DoClose();

private:
    void CreateFvpProtocol();
    void CreateBrowserWindow();
    void AskAccessPassword(const String& password);
    void WebBrowserKeyDown(BrowserControl::TWebBrowserControl* Sender, std::uint16_t& Key,
                           std::uint16_t ScanCode, unsigned Shift);
    void ApplyBorderStyle(TFormBorderStyle style);
    void SetCaption(const String& caption);
    Shared::TLinkActions& LinkActions();
    void TakeScreenshot();

    String FAppTitle;
    String FAppTheme;
    String FIndexFile;
    String FExtractExts;
    String FExecuteExts;
    String FAppRootDir;
    bool FIsMinimized = false;
    bool FEscapeClose = false;
    std::unique_ptr<Shared::TBrowserForm> FBrowserForm;
    std::unique_ptr<Shared::TInternetProtocol> FFvpProtocol;
    std::unique_ptr<Shared::TLinkActions> FLinkActions;
    // Hidden at first: it exists only while it is visible.
    std::unique_ptr<Platform::TTrayIcon> FTrayIcon;

    String FCaption;
    std::unique_ptr<Platform::TForm> FWindow;
    TFormBorderStyle FBorderStyle = Platform::bsSizeable;
    bool FStayOnTop = false;
    bool FMaximized = false;
    bool FClosed = false;
    bool FCloseQueued = false;
    bool FScreenshotTaken = false;
    std::shared_ptr<bool> FAlive;
};

} // namespace Folivant::Runtime
