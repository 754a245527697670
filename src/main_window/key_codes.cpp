#include "main_window/key_codes.h"

#include <QGuiApplication>
#include <QKeyEvent>

#include <array>
#include <utility>

namespace velune {
namespace {

// X11 / Wayland (xkb) key codes of the main block, US positions, to virtual-key codes.
constexpr std::array<std::pair<std::uint32_t, std::int16_t>, 47> kXkbKeys{{
    {10, '1'}, {11, '2'}, {12, '3'}, {13, '4'}, {14, '5'}, {15, '6'}, {16, '7'}, {17, '8'},
    {18, '9'}, {19, '0'}, {20, 189}, {21, 187},                                  // - =
    {24, 'Q'}, {25, 'W'}, {26, 'E'}, {27, 'R'}, {28, 'T'}, {29, 'Y'}, {30, 'U'}, {31, 'I'},
    {32, 'O'}, {33, 'P'}, {34, 219}, {35, 221},                                  // [ ]
    {38, 'A'}, {39, 'S'}, {40, 'D'}, {41, 'F'}, {42, 'G'}, {43, 'H'}, {44, 'J'}, {45, 'K'},
    {46, 'L'}, {47, 186}, {48, 222}, {49, 192}, {51, 220},                       // ; ' ` backslash
    {52, 'Z'}, {53, 'X'}, {54, 'C'}, {55, 'V'}, {56, 'B'}, {57, 'N'}, {58, 'M'},
    {59, 188}, {60, 190}, {61, 191},                                             // , . /
}};

std::int16_t fromQtKey(int key) {
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<std::int16_t>(key);
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return static_cast<std::int16_t>(key);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24) {
        return static_cast<std::int16_t>(112 + (key - Qt::Key_F1));
    }
    switch (key) {
        case Qt::Key_Space: return 32;
        case Qt::Key_Comma: return 188;
        case Qt::Key_Period: return 190;
        case Qt::Key_Return:
        case Qt::Key_Enter: return 13;
        case Qt::Key_Tab: return 9;
        case Qt::Key_Escape: return 27;
        case Qt::Key_Backspace: return 8;
        case Qt::Key_Left: return 37;
        case Qt::Key_Up: return 38;
        case Qt::Key_Right: return 39;
        case Qt::Key_Down: return 40;
        case Qt::Key_PageUp: return 33;
        case Qt::Key_PageDown: return 34;
        case Qt::Key_End: return 35;
        case Qt::Key_Home: return 36;
        case Qt::Key_Insert: return 45;
        case Qt::Key_Delete: return 46;
        case Qt::Key_Shift: return 16;
        case Qt::Key_Control: return 17;
        case Qt::Key_Alt: return 18;
        default: return 0;
    }
}

}  // namespace

std::int16_t keyCodeOf(int qtKey, bool keypad, std::uint32_t nativeScanCode, bool xkbScanCodes) {
    if (keypad) {
        // With Num Lock off the keypad sends navigation keys, which play nothing.
        if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) {
            return static_cast<std::int16_t>(96 + (qtKey - Qt::Key_0));
        }
        if (qtKey == Qt::Key_Enter || qtKey == Qt::Key_Return) return 13;
        return fromQtKey(qtKey);
    }
    if (xkbScanCodes && nativeScanCode != 0) {
        for (const auto& [scanCode, code] : kXkbKeys) {
            if (scanCode == nativeScanCode) return code;
        }
    }
    return fromQtKey(qtKey);
}

std::int16_t keyCodeOf(const QKeyEvent& event) {
    static const bool xkb = QGuiApplication::platformName() == QLatin1String("xcb") ||
                            QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    return keyCodeOf(event.key(), event.modifiers().testFlag(Qt::KeypadModifier),
                     event.nativeScanCode(), xkb);
}

std::int16_t shiftState(const QKeyEvent& event) {
    const Qt::KeyboardModifiers mods = event.modifiers();
    return static_cast<std::int16_t>((mods.testFlag(Qt::ShiftModifier) ? 1 : 0) |
                                     (mods.testFlag(Qt::ControlModifier) ? 2 : 0) |
                                     (mods.testFlag(Qt::AltModifier) ? 4 : 0));
}

}  // namespace velune
