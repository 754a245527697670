#include "performance/keyboard_performance.h"

#include <initializer_list>

#include "support/checked_int.h"

namespace velune {
namespace {

struct NoteKey {
    std::int16_t letter;
    std::int16_t keypad;
    std::int16_t offset;      // semitones above the lowest note, at octaveShift 0
    std::int16_t markerLeft;  // mx over the degree's digit, twips
};

// Degrees 1..7 of the major scale; the index is the keyState slot.
constexpr std::array<NoteKey, 7> kNoteKeys{{
    {vk::kM, 97, 24, 1515},
    {vk::kComma, 98, 26, 2680},
    {vk::kPeriod, 99, 28, 3880},
    {vk::kJ, 100, 29, 5045},
    {vk::kK, 101, 31, 6190},
    {vk::kL, 102, 33, 7360},
    {vk::kU, 103, 35, 8530},
}};

struct RegisterKey {
    std::int16_t key;
    std::int16_t shift;
    std::array<int, 3> rows;  // painted in this order; 0 ends the list
};

// Slots 7..10.
constexpr std::array<RegisterKey, 4> kRegisterKeys{{
    {vk::kD, -12, {7, 8, 0}},
    {vk::kE, +12, {4, 5, 0}},
    {vk::kF, -24, {9, 10, 11}},
    {vk::kS, +24, {1, 2, 3}},
}};
constexpr int kFirstRegisterSlot = 7;
constexpr int kMiddleRow = 6;

int noteSlot(std::int16_t keyCode) {
    for (int slot = 0; slot < static_cast<int>(kNoteKeys.size()); ++slot) {
        if (kNoteKeys[slot].letter == keyCode || kNoteKeys[slot].keypad == keyCode) {
            return slot;
        }
    }
    return -1;
}

int registerSlot(std::int16_t keyCode) {
    for (int i = 0; i < static_cast<int>(kRegisterKeys.size()); ++i) {
        if (kRegisterKeys[i].key == keyCode) {
            return kFirstRegisterSlot + i;
        }
    }
    return -1;
}

}  // namespace

void KeyboardPerformance::reset() {
    octaveShift_ = 0;
    for (auto& slot : keyState_) {
        slot = 0;
    }
}

void KeyboardPerformance::keyDown(std::int16_t keyCode, std::int16_t /*shift*/) {
    if (const int slot = noteSlot(keyCode); slot >= 0) {
        const NoteKey& key = kNoteKeys[slot];
        noteKey(slot, key.offset, key.markerLeft);
    } else if (keyCode == vk::kSpace || keyCode == vk::kNumpad0) {
        silence();  // a rest: no held guard, every repeat sends the same note off again
    } else if (const int reg = registerSlot(keyCode); reg >= 0) {
        registerPress(reg);
    } else if (keyCode == vk::kF1) {
        view_.restoreOpacity();
    }
}

void KeyboardPerformance::keyUp(std::int16_t keyCode, std::int16_t /*shift*/) {
    if (const int slot = noteSlot(keyCode); slot >= 0) {
        keyState_[slot] = 0;  // the note sounds on
    } else if (const int reg = registerSlot(keyCode); reg >= 0) {
        registerRelease(reg);
    }
}

void KeyboardPerformance::silence() {
    midi_.NoteOff(kKeyboardChannel, add16(lastNote_, kLowestNote));
}

void KeyboardPerformance::releaseAll() {
    for (int slot = 0; slot < kFirstRegisterSlot; ++slot) {
        keyState_[slot] = 0;
    }
    for (int slot = kFirstRegisterSlot; slot < kSlots; ++slot) {
        if (keyState_[slot] != 0) {
            registerRelease(slot);
        }
    }
}

void KeyboardPerformance::noteKey(int slot, std::int16_t offset, std::int16_t markerLeft) {
    if (keyState_[slot] != 0) {
        return;  // held: an auto-repeat, or the other key of the pair
    }
    // Held from now on: a box that the messages open takes the keys, and with them this flag.
    keyState_[slot] = 1;
    midi_.NoteOff(kKeyboardChannel, add16(lastNote_, kLowestNote));
    midi_.NoteOn(kKeyboardChannel, add16(add16(octaveShift_, offset), kLowestNote), kVelocity);
    lastNote_ = add16(octaveShift_, offset);
    view_.setMarkerLeft(markerLeft);
}

void KeyboardPerformance::paintRows(int slot, std::uint32_t color) {
    for (int row : kRegisterKeys[slot - kFirstRegisterSlot].rows) {
        if (row == 0) {
            break;
        }
        view_.setRowColor(row, color);
    }
}

void KeyboardPerformance::registerPress(int slot) {
    const std::int16_t shift = kRegisterKeys[slot - kFirstRegisterSlot].shift;
    octaveShift_ = shift;
    keyState_[slot] = shift;
    view_.setRowColor(kMiddleRow, kRowWhite);
    paintRows(slot, kRowRed);
}

void KeyboardPerformance::registerRelease(int slot) {
    keyState_[slot] = 0;
    paintRows(slot, kRowWhite);
    if (keyState_[7] == 0 && keyState_[8] == 0 && keyState_[9] == 0 && keyState_[10] == 0) {
        octaveShift_ = 0;
        view_.setRowColor(kMiddleRow, kRowRed);
        return;
    }
    pd(7, 8, 9, 10);
}

void KeyboardPerformance::pd(std::int16_t a, std::int16_t b, std::int16_t c, std::int16_t d) {
    // Priority among the register keys still held: b, c, d, then a (E, F, S, D).
    for (std::int16_t slot : {b, c, d, a}) {
        if (keyState_.at(slot) != 0) {
            octaveShift_ = keyState_.at(slot);
            return;
        }
    }
    octaveShift_ = 0;
}

}  // namespace velune
