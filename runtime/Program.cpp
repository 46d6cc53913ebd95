// Program entry of the runtime: the units come up in the order below, the
// main window runs, and the units go down in the reverse order. An empty
// archive resource or a refused password ends the run early through Halt,
// which finalises what was initialised so far; a failure while the units
// come up ends it with "Runtime error 217" and exit code 217.

#include "platform/ui/Application.h"
#include "platform/ui/MainIcon.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/UrlMon.h"
#include "runtime/ExeHtmlSite.h"
#include "runtime/MainForm.h"
#include "runtime/Startup.h"
#include "desktop/BrowserForm.h"
#include "shared/Trace.h"
#include "shared/AsyncPlugProto.h"
#include "shared/GlobalMainForm.h"
#include "shared/TemporalFiles.h"

#include <memory>

using namespace Folivant;

namespace {

// Start-up order; finalisation runs from the bottom up.
const Runtime::TUnit Units[] = {
    // The archive is open and the settings are loaded from here on; no
    // window exists yet.
    {"Folivant.Runtime.ExeHtmlSite", Runtime::InitializeExeHtmlSite, Runtime::FinalizeExeHtmlSite},
    // ActiveMainForm := nil.
    {"Folivant.Shared.GlobalMainForm", Shared::InitializeGlobalMainForm,
     Shared::FinalizeGlobalMainForm},
    // The protocol registry and its re-entrant lock.
    {"Folivant.Shared.AsyncPlugProto", Shared::InitializeProtocolRegistry,
     Shared::FinalizeProtocolRegistry},
    // The temporary-file registry; freeing it deletes the registered files.
    {"Folivant.Shared.TemporalFiles", Shared::InitializeTemporalFiles,
     Shared::FinalizeTemporalFiles},
};

} // namespace

namespace {

Runtime::TMainForm* RunningMainForm = nullptr;
// A signal came while the main form was still being created.
bool TerminationPending = false;

// SIGINT and SIGTERM end the run through the normal shut-down, so that it
// leaves nothing behind, whatever window is showing. Every modal window is
// closed as its close button would close it, and none opens after that
// (the password prompt included). The main form closes once the handlers
// that ran those windows have returned to the message loop: closing it
// frees the browser window, which such a handler may still be using. While
// the main form is still being created, it is closed as soon as it exists.
void OnTerminationSignal() {
    Shared::Trace("signal");
    Platform::CloseModalWindows();
    if (RunningMainForm == nullptr) {
        TerminationPending = true;
        return;
    }
    Platform::WhenInOutermostLoop([] {
        if (RunningMainForm != nullptr)
            RunningMainForm->Close();
    });
}

} // namespace

int main(int, char** argv) {
    Runtime::InitializeUnits(Units);

    // The application object: GTK on the GUI thread. The command line is the
    // pages' to read, so none of it goes to the toolkit. Without a display
    // there is no window to show; the message box reports on standard error.
    if (!Platform::InitializeApplication(argv[0])) {
        Platform::MessageBox(u"Cannot open the display", Platform::ApplicationTitle(),
                             Platform::MB_OK | Platform::MB_ICONERROR);
        Runtime::FinalizeUnits();
        return 1;
    }
    // Every window shows the executable's icon.
    Platform::UseMainIconForWindows();
    // The URL-moniker session and the GUI thread's dispatcher.
    Platform::InitializeContentProtocol();
    Platform::WatchTerminationSignals(OnTerminationSignal);

    {
        // The main form; its creation handler runs inside the constructor
        // and may end the process (refused password).
        Shared::Trace("create MainForm");
        auto mainForm = std::make_unique<Runtime::TMainForm>();
        RunningMainForm = mainForm.get();
        if (!mainForm->Closed()) {
            if (TerminationPending)
                mainForm->Close();
            else
                mainForm->Show();
            Shared::Trace("message loop");
            Platform::RunMessageLoop();
        }
        Shared::Trace("message loop ended");
        RunningMainForm = nullptr;

        Runtime::FinalizeUnits();

        // The application frees the windows it still owns after the units.
        mainForm.reset();
        Shared::TBrowserForm::FreeApplicationWindows();
        Shared::Trace("application freed");
    }
    Platform::StopWatchingTerminationSignals();
    return 0;
}
