#pragma once

// The platform's URL-moniker session: the layer through which the browser
// engine's requests of a registered name space reach the protocol handlers
// of the content protocol, as the system's moniker layer hands them over.

#include "shared/UrlMonApi.h"

namespace Folivant::Platform {

// Installs this layer as the provider of CoInternetGetSession.
void InstallUrlMon();

// The content protocol's platform at start-up, on the GUI thread once the
// application is initialised: this session layer and the GUI thread's
// dispatcher as the protocol components' hidden window.
void InitializeContentProtocol();

// A new session (one reference, owned by the caller).
Shared::IInternetSession* NewInternetSession();

} // namespace Folivant::Platform
