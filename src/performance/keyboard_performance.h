#pragma once

// The keyboard performance: one voice, fourteen note keys, two rests, four register keys.
//
//   keyState  [0..6]  held flag per scale degree (letter key and keypad key share a slot)
//             [7..10] shift of D E F S while held (-12 +12 -24 +24), else 0
//   octaveShift       the register in force: the last register key pressed; after a release
//                     that leaves some held, pd() picks E, F, S, D in that order; 0 when none
//   lastNote          MIDI number of the note sounding - 36; every note on is preceded by
//                     a note off for it, so exactly one note sounds at a time
//
// A note key sounds until the next note key, a rest (Space, keypad 0) or shut-down; releasing it
// only clears its held flag, which is what swallows auto-repeat presses. A key whose release
// goes elsewhere (the keys went to another control, a box or another window) counts as
// released when the keys leave: releaseAll().

#include <array>
#include <cstdint>

#include "midi/module1.h"
#include "performance/performance_view.h"

namespace velune {

// The platform's virtual-key codes the performance understands.
namespace vk {
inline constexpr std::int16_t kSpace = 32;
inline constexpr std::int16_t kD = 68, kE = 69, kF = 70, kJ = 74, kK = 75, kL = 76, kM = 77;
inline constexpr std::int16_t kS = 83, kU = 85;
inline constexpr std::int16_t kNumpad0 = 96;  // keypad 1..7 are 97..103
inline constexpr std::int16_t kF1 = 112;
inline constexpr std::int16_t kComma = 188, kPeriod = 190;
inline constexpr std::int16_t kReturn = 13, kTab = 9;
}  // namespace vk

inline constexpr std::int16_t kVelocity = 100;
inline constexpr std::int16_t kLowestNote = 36;  // lastNote is stored relative to it
inline constexpr int kSlots = 11;

class KeyboardPerformance {
  public:
    KeyboardPerformance(Module1& midi, PerformanceView& view) : midi_(midi), view_(view) {}

    // Start-up: octaveShift := 0, then every slot := 0 in ascending order.
    void reset();
    void keyDown(std::int16_t keyCode, std::int16_t shift);
    void keyUp(std::int16_t keyCode, std::int16_t shift);
    // Shut-down: silence the last note (the caller closes the port afterwards).
    void silence();
    // Every held key counts as released: note keys play again at their next press (the
    // sounding note goes on), register keys give the octave back and repaint their rows.
    void releaseAll();

    std::int16_t keyState(int slot) const { return keyState_.at(slot); }
    std::int16_t octaveShift() const { return octaveShift_; }
    std::int16_t lastNote() const { return lastNote_; }

  private:
    void noteKey(int slot, std::int16_t offset, std::int16_t markerLeft);
    void registerPress(int slot);
    void registerRelease(int slot);
    void pd(std::int16_t a, std::int16_t b, std::int16_t c, std::int16_t d);
    void paintRows(int slot, std::uint32_t color);

    Module1& midi_;
    PerformanceView& view_;
    std::array<std::int16_t, kSlots> keyState_{};
    std::int16_t octaveShift_ = 0;
    std::int16_t lastNote_ = 0;
};

}  // namespace velune
