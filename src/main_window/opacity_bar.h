#pragma once

// touming: the horizontal scroll bar that sets the main window's opacity. It raises the three
// events that the window handles:
//   scrolled    Scroll: each new thumb position while the user drags the thumb
//               (valueChanged while the slider is down)
//   changed     Change: the position has changed by an arrow or trough click, a key, the wheel,
//               or the program (setValue), and once when a drag that moved the thumb ends
//               (sliderReleased with a position other than the one at the press)
//   keyPressed  KeyDown: every key press on the bar (Tab and Backtab are focus navigation),
//               raised before the bar handles the key itself
// The window's alpha is the position; the bar keeps no state besides it.

#include <QScrollBar>

#include <cstdint>

#include "support/checked_int.h"

namespace velune {

// Lower bound 3: the window can never become completely invisible. Start at 255: the bar tells
// the truth about the fully opaque window at start.
inline constexpr int kOpacityLowest = 3;
inline constexpr int kOpacityHighest = 255;
inline constexpr int kOpacityArrowStep = 3;
inline constexpr int kOpacityTroughStep = 25;

// The bar's position as the window's alpha. Positions 0..255 pass unchanged; anything else is an
// overflow, never wrapped or clamped.
constexpr std::uint8_t positionToAlpha(int position) {
    if (position < 0 || position > 255) {
        throw OverflowError();
    }
    return static_cast<std::uint8_t>(position);
}

class OpacityBar : public QScrollBar {
    Q_OBJECT

public:
    explicit OpacityBar(QWidget* parent);

signals:
    void scrolled();
    void changed();
    void keyPressed(std::int16_t keyCode, std::int16_t shift);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    int positionAtPress_ = 0;
};

}  // namespace velune
