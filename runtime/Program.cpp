// Program entry of the runtime: the units come up in the order below, the
// main window runs, and the units go down in the reverse order. An empty
// archive resource or a refused password ends the run early through Halt,
// which finalises what was initialised so far; a failure while the units
// come up ends it with "Runtime error 217" and exit code 217.

#include "platform/Application.h"
#include "platform/MainIcon.h"
#include "platform/MessageBox.h"
#include "platform/UrlMon.h"
#include "runtime/ExeHtmlSite.h"
#include "runtime/MainForm.h"
#include "runtime/Startup.h"
#include "shared/BrowserForm.h"
#include "shared/Trace.h"
#include "shared/AsyncPlugProto.h"
#include "shared/GlobalMainForm.h"
#include "shared/TemporalFiles.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
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

// SIGINT and SIGTERM close the main window, so the run ends through the
// normal shut-down and leaves nothing behind. While the main form is still
// being created (the password prompt, a message box of its creation
// handler) the signal closes the modal window that holds it up, as its
// close button would, and the main form is closed as soon as it exists.
gboolean OnTerminationSignal(gpointer) {
    Shared::Trace("signal");
    try {
        if (RunningMainForm != nullptr) {
            RunningMainForm->Close();
        } else {
            TerminationPending = true;
            Platform::CloseModalWindows();
        }
    } catch (...) {
        Platform::HandleCallbackException();
    }
    return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char** argv) {
    Runtime::InitializeUnits(Units);

    // The application object: GTK on the GUI thread. Without a display
    // there is no window to show; the message box reports on standard error.
    if (!gtk_init_check(&argc, &argv)) {
        Platform::MessageBox(u"Cannot open the display", Platform::ApplicationTitle(),
                             Platform::MB_OK | Platform::MB_ICONERROR);
        Runtime::FinalizeUnits();
        return 1;
    }
    // Every window shows the executable's icon.
    Platform::UseMainIconForWindows();
    // The URL-moniker session and the GUI thread's dispatcher.
    Platform::InitializeContentProtocol();
    guint sigint = g_unix_signal_add(SIGINT, OnTerminationSignal, nullptr);
    guint sigterm = g_unix_signal_add(SIGTERM, OnTerminationSignal, nullptr);

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
    g_source_remove(sigint);
    g_source_remove(sigterm);
    return 0;
}
