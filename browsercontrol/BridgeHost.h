#pragma once

// The runtime's end of the script bridge. The engine's processes load the
// runtime's own extension module (carried inside the executable and written
// once per user to a private folder), which defines window.external in the
// publication's documents and sends every host call here over a private
// socket, with the calling document and its top document as the engine
// reports them. This end checks the caller again, finds the browser control
// whose page called, and answers with that control's HandleHostCall.

#include <string>
#include <vector>

typedef struct _WebKitWebContext WebKitWebContext;

namespace Folivant::BrowserControl {

class TWebBrowserControl;

// Prepares a web context before its first engine process starts: the
// module's folder, the channel, and the start-up data that names it. Once
// per context; false when the bridge cannot be offered (the pages then see
// no host functions).
bool InstallBridge(WebKitWebContext* context);

// Removes the bridge folders no run uses any more: channel folders (in the
// channelParents) of runs that ended without removing them, and module
// folders (in moduleParent) of other versions that no running runtime
// holds. Answers how many went. Called by InstallBridge.
int RemoveUnusedBridgeFolders(const std::vector<std::string>& channelParents,
                              const std::string& moduleParent);

// Browser controls whose pages may call.
void AttachBridge(TWebBrowserControl* control);
void DetachBridge(TWebBrowserControl* control);

// Whether url is an address of the publication (scheme fvp, any case).
bool HasFvpScheme(const char* url);

// Whether a host call from the document frameUrl inside the top document
// topUrl comes from the publication: both of the publication (fvp:), or
// the caller an about:blank or srcdoc document of the publication's.
bool IsPublicationCaller(const char* frameUrl, const char* topUrl);

} // namespace Folivant::BrowserControl
