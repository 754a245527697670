#pragma once

#include <cstdint>

class QKeyEvent;

namespace velune {

// The one place where Qt key events become the virtual-key codes of the keyboard performance.
// Letter and punctuation keys go by physical position (the X11/Wayland key code), so the same
// grid plays on AZERTY or Cyrillic layouts; keypad digits go by what they produce with Num Lock
// on; where the platform gives no scan code (offscreen), Qt's key is used. 0: no code.
std::int16_t keyCodeOf(const QKeyEvent& event);

// The modifier argument that goes with a key code: Shift 1, Ctrl 2, Alt 4.
std::int16_t shiftState(const QKeyEvent& event);

// The same rule, on its parts: platformName is QGuiApplication::platformName().
std::int16_t keyCodeOf(int qtKey, bool keypad, std::uint32_t nativeScanCode, bool xkbScanCodes);

}  // namespace velune
