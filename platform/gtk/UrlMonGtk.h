#pragma once

// The URL-moniker session on WebKitGTK. RegisterNameSpace makes WebKit send
// every request of the scheme to this layer (WebKit registers a scheme once
// per web context and never forgets it, so the layer keeps its own table of
// name-space registrations). For each request the layer creates a protocol
// handler through the registered class factory, calls Start with the full
// URL and a sink, reads with Read until S_FALSE and ends with Terminate, as
// the moniker layer does; it works out the content type itself. A declined
// request, or one for a scheme whose registration was removed, fails in
// WebKit as an unknown resource does.

#include "platform/ui/UrlMon.h"

#include <string>
#include <string_view>

typedef struct _WebKitWebContext WebKitWebContext;
typedef struct _WebKitURISchemeRequest WebKitURISchemeRequest;

namespace Folivant::Platform {

// The web context name spaces are registered with; by default WebKit's
// default context. Setting another one registers every scheme already known
// with it too. Call on the GUI thread.
void SetUrlMonWebContext(WebKitWebContext* context);
WebKitWebContext* UrlMonWebContext();

// Whether a request of a registered scheme comes from the scheme's own
// pages: neither a cross-origin request from a page elsewhere nor any
// request of a window showing a page from elsewhere. Any other request is
// answered as a missing entry.
bool IsPublicationRequest(WebKitURISchemeRequest* request);

// The content type given to a response: the name's extension first, then
// what GLib makes of the name and the first bytes; never empty.
std::string ContentTypeFor(std::string_view path, std::string_view data);

} // namespace Folivant::Platform
