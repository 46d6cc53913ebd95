#include "platform/ui/KeyMap.h"

namespace Folivant::Platform {

TEngineCommand EngineCommandOf(std::uint16_t key, TShiftState shift) {
    switch (key) {
    case VirtualKey::Back:
        return shift == 0 ? ecGoBack : ecNone;
    case VirtualKey::Left:
        return shift == ssAlt ? ecGoBack : ecNone;
    case VirtualKey::Right:
        return shift == ssAlt ? ecGoForward : ecNone;
    case VirtualKey::F5:
        return shift == 0 ? ecRefresh : ecNone;
    case u'R':
        return shift == ssCtrl ? ecRefresh : ecNone;
    default:
        return ecNone;
    }
}

TEngineCommand CommandOfReturnedKey(std::uint16_t key, TShiftState shift) {
    if (key == VirtualKey::Left || key == VirtualKey::Right)
        return ecNone;
    return EngineCommandOf(key, shift);
}

bool ControlKeepsKey(std::uint16_t key, TShiftState shift, bool taken,
                     const String& ctrlShortcuts) {
    if (key == 0 || key == VirtualKey::Return)
        return false;
    if (taken)
        return true;
    return (shift & (ssShift | ssCtrl)) == ssCtrl &&
           ctrlShortcuts.find(static_cast<char16_t>(key)) != String::npos;
}

bool KeyClosesMainWindow(std::uint16_t key, bool escapeCloses) {
    return escapeCloses && key == VirtualKey::Escape;
}

} // namespace Folivant::Platform
