// Letter and punctuation keys act by their place on the keyboard: the same physical key plays
// the same note whatever the layout makes of it.

#include "main_window/key_codes.h"

#include <gtest/gtest.h>

#include <Qt>

namespace velune {
namespace {

TEST(KeyCodes, OtherLayoutsPlayTheSameGrid) {
    const struct {
        std::uint32_t scanCode;  // X11 key code of the physical key
        int us, german, french;  // what each layout calls it
        std::int16_t code;
    } keys[] = {
        {58, Qt::Key_M, Qt::Key_M, Qt::Key_Comma, 'M'},
        {59, Qt::Key_Comma, Qt::Key_Comma, Qt::Key_Semicolon, 188},
        {60, Qt::Key_Period, Qt::Key_Period, Qt::Key_Colon, 190},
        {44, Qt::Key_J, Qt::Key_J, Qt::Key_J, 'J'},
        {45, Qt::Key_K, Qt::Key_K, Qt::Key_K, 'K'},
        {46, Qt::Key_L, Qt::Key_L, Qt::Key_L, 'L'},
        {30, Qt::Key_U, Qt::Key_U, Qt::Key_U, 'U'},
        {26, Qt::Key_E, Qt::Key_E, Qt::Key_E, 'E'},
        {40, Qt::Key_D, Qt::Key_D, Qt::Key_D, 'D'},
        {41, Qt::Key_F, Qt::Key_F, Qt::Key_F, 'F'},
        {39, Qt::Key_S, Qt::Key_S, Qt::Key_S, 'S'},
        {29, Qt::Key_Y, Qt::Key_Z, Qt::Key_Y, 'Y'},
        {24, Qt::Key_Q, Qt::Key_Q, Qt::Key_A, 'Q'},
        {38, Qt::Key_A, Qt::Key_A, Qt::Key_Q, 'A'},
        {10, Qt::Key_1, Qt::Key_1, Qt::Key_Ampersand, '1'},
        {65, Qt::Key_Space, Qt::Key_Space, Qt::Key_Space, 32},
        {67, Qt::Key_F1, Qt::Key_F1, Qt::Key_F1, 112},
    };
    for (const auto& key : keys) {
        for (const int qtKey : {key.us, key.german, key.french}) {
            EXPECT_EQ(keyCodeOf(qtKey, false, key.scanCode, true), key.code)
                << "key code " << key.scanCode << " as Qt key " << std::hex << qtKey;
        }
    }
}

// Keypad digits go by what they produce: with Num Lock off they are navigation keys and play
// nothing. Without scan codes (the offscreen platform) Qt's key is used.
TEST(KeyCodes, KeypadAndPlatformsWithoutScanCodes) {
    const struct {
        int qtKey;
        bool keypad;
        std::uint32_t scanCode;
        bool xkb;
        std::int16_t code;
    } cases[] = {
        {Qt::Key_1, true, 87, true, 97},       {Qt::Key_7, true, 79, true, 103},
        {Qt::Key_0, true, 90, true, 96},       {Qt::Key_End, true, 87, true, 35},
        {Qt::Key_Enter, true, 104, true, 13},  {Qt::Key_M, false, 0, false, 'M'},
        {Qt::Key_Comma, false, 0, false, 188}, {Qt::Key_M, false, 59, false, 'M'},
        {Qt::Key_Return, false, 36, true, 13}, {Qt::Key_Tab, false, 23, true, 9},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(keyCodeOf(c.qtKey, c.keypad, c.scanCode, c.xkb), c.code) << std::hex << c.qtKey;
    }
}

}  // namespace
}  // namespace velune
