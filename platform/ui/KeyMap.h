#pragma once

// The key map: how the main window and the browser control answer key
// presses, as rules over virtual-key codes and the modifier keys held. Each
// platform turns its own key events into these (letters as their capital
// letter, digits as their character) and leaves the decisions to this unit.

#include "base/Classes.h"

#include <cstdint>

namespace Folivant::Platform {

// The modifier keys held with a key: a set of these bits.
enum TShiftStateFlag : unsigned { ssShift = 1, ssAlt = 2, ssCtrl = 4 };
using TShiftState = unsigned;

// Virtual-key codes of the keys the rules look at (named apart from the VK_
// macros of the system's headers).
namespace VirtualKey {
inline constexpr std::uint16_t Back = 8;
inline constexpr std::uint16_t Return = 13;
inline constexpr std::uint16_t Escape = 27;
inline constexpr std::uint16_t Left = 37;
inline constexpr std::uint16_t Right = 39;
inline constexpr std::uint16_t F5 = 116;
} // namespace VirtualKey

// What the engine does with a key that neither the control nor the page
// consumed: its navigation accelerators.
enum TEngineCommand { ecNone, ecGoBack, ecGoForward, ecRefresh };
// Backspace and Alt+Left go back, Alt+Right forward, F5 and Ctrl+R reload;
// only with exactly those modifiers.
TEngineCommand EngineCommandOf(std::uint16_t key, TShiftState shift);
// The command of a key the page handed back unconsumed: that of
// EngineCommandOf, except for the arrows, which reach the engine only as
// reported by the page's navigation-key script.
TEngineCommand CommandOfReturnedKey(std::uint16_t key, TShiftState shift);

// Whether the browser control keeps a key press from the page. key is the
// key as it came in (0 for keys without a code); taken tells whether the
// control's key handler cleared it; ctrlShortcuts lists the letters whose
// Ctrl shortcut (Alt allowed, Shift not) the control swallows. Enter always
// reaches the page.
bool ControlKeepsKey(std::uint16_t key, TShiftState shift, bool taken, const String& ctrlShortcuts);

// Whether a key press closes the main window: Escape, with any modifiers,
// when the publication's settings let Escape close it.
bool KeyClosesMainWindow(std::uint16_t key, bool escapeCloses);

} // namespace Folivant::Platform
