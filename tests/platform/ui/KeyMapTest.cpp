#include "platform/ui/KeyMap.h"

#include <gtest/gtest.h>

using namespace Folivant::Platform;

namespace {

constexpr TShiftState ssNone = 0;

TEST(KeyMap, EngineCommandsNeedExactlyTheirModifiers) {
    struct TCase {
        std::uint16_t Key;
        TShiftState Shift;
        TEngineCommand Command;
        TEngineCommand Returned; // the same key handed back by the page
    };
    const TCase cases[] = {
        {VirtualKey::Back, ssNone, ecGoBack, ecGoBack},
        {VirtualKey::Back, ssShift, ecNone, ecNone},
        {VirtualKey::Back, ssAlt, ecNone, ecNone},
        {VirtualKey::Left, ssAlt, ecGoBack, ecNone},
        {VirtualKey::Left, ssNone, ecNone, ecNone},
        {VirtualKey::Left, ssAlt | ssShift, ecNone, ecNone},
        {VirtualKey::Right, ssAlt, ecGoForward, ecNone},
        {VirtualKey::Right, ssAlt | ssCtrl, ecNone, ecNone},
        {VirtualKey::F5, ssNone, ecRefresh, ecRefresh},
        {VirtualKey::F5, ssCtrl, ecNone, ecNone},
        {u'R', ssCtrl, ecRefresh, ecRefresh},
        {u'R', ssNone, ecNone, ecNone},
        {u'R', ssCtrl | ssShift, ecNone, ecNone},
        {VirtualKey::Return, ssNone, ecNone, ecNone},
        {0, ssNone, ecNone, ecNone},
    };
    for (const TCase& c : cases) {
        EXPECT_EQ(EngineCommandOf(c.Key, c.Shift), c.Command) << c.Key << " " << c.Shift;
        EXPECT_EQ(CommandOfReturnedKey(c.Key, c.Shift), c.Returned) << c.Key << " " << c.Shift;
    }
}

TEST(KeyMap, TheControlKeepsTakenKeysAndListedCtrlShortcutsButNeverEnter) {
    struct TCase {
        std::uint16_t Key;
        TShiftState Shift;
        bool Taken;
        const char16_t* Shortcuts;
        bool Kept;
    };
    const TCase cases[] = {
        {u'A', ssNone, false, u"Y", false},
        {u'A', ssNone, true, u"", true},
        {VirtualKey::Return, ssNone, true, u"", false},
        {VirtualKey::Return, ssCtrl, false, u"\r", false},
        {u'Y', ssCtrl, false, u"Y", true},
        {u'Y', ssCtrl | ssAlt, false, u"Y", true},
        {u'Y', ssCtrl | ssShift, false, u"Y", false},
        {u'Y', ssNone, false, u"Y", false},
        {u'Y', ssAlt, false, u"Y", false},
        {u'B', ssCtrl, false, u"Y", false},
        {u'Y', ssCtrl, false, u"", false},
        {0, ssCtrl, true, u"Y", false},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ControlKeepsKey(c.Key, c.Shift, c.Taken, c.Shortcuts), c.Kept)
            << c.Key << " " << c.Shift << " " << c.Taken;
}

TEST(KeyMap, EscapeClosesTheMainWindowOnlyWhenTheSettingSaysSo) {
    EXPECT_TRUE(KeyClosesMainWindow(VirtualKey::Escape, true));
    EXPECT_FALSE(KeyClosesMainWindow(VirtualKey::Escape, false));
    EXPECT_FALSE(KeyClosesMainWindow(VirtualKey::Return, true));
    EXPECT_FALSE(KeyClosesMainWindow(0, true));
}

} // namespace
