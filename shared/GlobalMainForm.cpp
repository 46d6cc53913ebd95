#include "shared/GlobalMainForm.h"

#include "shared/Trace.h"

namespace Folivant::Shared {

TGlobalMainForm* ActiveMainForm = nullptr;

void InitializeGlobalMainForm() {
    ActiveMainForm = nullptr;
    Trace("init GlobalMainForm");
}

void FinalizeGlobalMainForm() {
    ActiveMainForm = nullptr;
    Trace("final GlobalMainForm");
}

} // namespace Folivant::Shared
