#pragma once

// The folders the system reports: the user's temporary, desktop, documents
// and application-data folders, and the running executable.

#include "base/Classes.h"
#include "platform/TemporaryFolder.h"

namespace Folivant::Platform {

// The XDG user folders, without a trailing "/"; empty when unknown.
String UserDesktopDir();
String UserDocumentsDir();
String UserAppDataDir();

// The running executable's full path, and its folder ending in "/".
String ExecutablePath();
String ExecutableDir();

} // namespace Folivant::Platform
