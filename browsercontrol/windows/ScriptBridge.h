#pragma once

// window.external on Windows: the script bridge's host functions behind the
// dispatch object, acting on the browser control whose page calls them.

#include "browsercontrol/windows/ExternalDispatch.h"

#include <memory>

namespace Folivant::BrowserControl {

class TWebBrowserHost;

// The functions of the script bridge for the page of browser: names looked
// up as the bridge looks them up, arguments and results converted between
// the engine's VARIANTs and the bridge's values. When they go, a sound that
// browser's page started last is stopped.
std::unique_ptr<TExternalFunctions> NewScriptBridgeFunctions(TWebBrowserHost& browser);

} // namespace Folivant::BrowserControl
