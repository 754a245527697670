#pragma once

// Combo1: the instrument selector, an editable drop-down list of the 128 General MIDI
// instruments. Picking an item sends the bank select and program change on channel 0 and gives
// the focus back to KeyBoard; any key but Enter locks the selector, Enter hands the focus back.
//
// The selector's three events, as Qt delivers them:
//   Click    the user picks an item in the open list (mouse release on an item, or Enter in the
//            list): QComboBox::activated. Nothing else emits it here: the keys that would
//            (arrows, Enter in the text field) never reach QComboBox, and the wheel over the
//            closed selector is ignored.
//   KeyDown  every key press that reaches the closed selector, raised in keyPressEvent before
//            the key is handled, so a lock set by the key is already in force for it. Tab and
//            Backtab are focus navigation (QWidget::event) and never get there. Text from an
//            input method counts as a key too.
//   Scroll   the user scrolls the open list: actionTriggered of the list's scroll bar (drag,
//            arrows, trough, wheel, the popup's scroll arrows). The list scrolling itself to the
//            chosen item when it opens is not a Scroll.
//
// Locked: the text field is read-only, no key but the drop-down keys (F4, Alt+Down), the caret
// keys and Copy reaches QComboBox, and a pick from the list changes nothing. The list can still
// be dropped down and scrolled.

#include <QComboBox>

#include <cstdint>

namespace velune {

class Module1;

class InstrumentSelector : public QComboBox {
public:
    // keyBoard is the surface that gets the focus back.
    InstrumentSelector(Module1& midi, QWidget& keyBoard, QWidget* parent);

    bool isLocked() const { return locked_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Click();
    void KeyDown(std::int16_t keyCode);
    void Scroll();

    void setLocked(bool locked);
    bool filterLockedList(QObject* watched, QEvent* event);

    Module1& midi_;
    QWidget& keyBoard_;
    bool locked_ = false;
    bool pressedInList_ = false;
};

}  // namespace velune
