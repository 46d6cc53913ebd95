// The media bridge on Windows. The engine here plays <audio> and <video>
// itself and reads their fvp: addresses through the registered protocol
// component, so there is no endpoint to run and nothing to put into pages:
// starting and stopping the bridge has nothing to do.
#include "platform/ui/MediaBridge.h"

namespace Folivant::Platform {

void StartMediaBridge(TMediaEntrySource) {}

void StopMediaBridge() {}

} // namespace Folivant::Platform
