#include "platform/ui/TrayIcon.h"

#include "platform/ui/Application.h"

namespace Folivant::Platform {

namespace {

// The longest tool tip the notification area shows, in UTF-16 units.
constexpr std::size_t MaxToolTipLength = 127;

String CutToolTip(const String& text) {
    if (text.size() <= MaxToolTipLength)
        return text;
    std::size_t length = MaxToolTipLength;
    // A character is never cut in half.
    if (text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF)
        --length;
    return text.substr(0, length);
}

} // namespace

String TrayIconToolTip(const String& hint) {
    return CutToolTip(hint.empty() ? ApplicationTitle() : hint);
}

} // namespace Folivant::Platform
