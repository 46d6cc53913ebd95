#pragma once

// The browser-emulation value: a REG_DWORD named after the running
// executable's file name under the current user's FEATURE_BROWSER_EMULATION
// key, present while the main window exists. The main window's creation
// handler calls Initialize after the access password was accepted; its close
// handler calls Uninitialize.

#include "base/Classes.h"

namespace Folivant::Shared {

// Class methods only; never instantiated. No state is kept between the two
// calls: each computes the value name again and opens the key afresh.
class TIEBrowserFix {
public:
    TIEBrowserFix() = delete;

    // Creates the key when it is missing and writes the value 10001 unless a
    // value of that name exists already. A key that cannot be created or
    // opened does nothing; a failed write raises
    // Platform::ERegistryException "Failed to set data for '<name>'".
    static void Initialize();
    // Deletes the value of that name when the key can be opened; failures
    // are ignored and the key itself stays.
    static void Uninitialize();

    // The value name: the running executable's file name without its folder.
    static String ValueName();
};

} // namespace Folivant::Shared
