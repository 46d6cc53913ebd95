// Program entry of the runtime: the units come up in the order below, the
// main window runs, and the units go down in the reverse order. An empty
// archive resource or a refused password ends the run early through Halt,
// which finalises what was initialised so far; a failure while the units
// come up ends it with "Runtime error 217" and exit code 217.

#include "runtime/ExeHtmlSite.h"
#include "runtime/Startup.h"
#include "shared/AsyncPlugProto.h"
#include "shared/GlobalMainForm.h"
#include "shared/TemporalFiles.h"

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

int main(int argc, char** argv) {
    Runtime::InitializeUnits(Units);

    // The main window goes here: create TMainForm (its creation handler
    // applies the settings, may Halt(0) on a refused password, registers the
    // fvp scheme and opens the index page), then run the message loop until
    // it closes. SIGINT and SIGTERM close it the same way.

    Runtime::FinalizeUnits();
    return 0;
}
