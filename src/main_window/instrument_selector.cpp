#include "main_window/instrument_selector.h"

#include <QAbstractItemView>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>

#include "main_window/instrument_names.h"
#include "main_window/key_codes.h"
#include "main_window/overflow_guard.h"
#include "midi/module1.h"
#include "performance/keyboard_performance.h"
#include "support/checked_int.h"

namespace velune {
namespace {

constexpr std::int16_t kBank = 0;
// The code a key gets while an input method composes text.
constexpr std::int16_t kProcessKey = 229;

// Keys that a locked selector still lets through: they drop the list down or move the caret in
// the read-only text, and change neither the chosen item nor the text.
bool passesLock(const QKeyEvent& event) {
    const Qt::KeyboardModifiers mods = event.modifiers() & ~Qt::KeypadModifier;
    switch (event.key()) {
        case Qt::Key_F4:
            return mods == Qt::NoModifier;
        case Qt::Key_Down:
            return mods == Qt::AltModifier;
        case Qt::Key_Left:
        case Qt::Key_Right:
            return true;
        default:
            return event.matches(QKeySequence::Copy);
    }
}

bool isPickKey(const QKeyEvent& event) {
    return event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter ||
           event.key() == Qt::Key_Select;
}

}  // namespace

InstrumentSelector::InstrumentSelector(Module1& midi, QWidget& keyBoard, QWidget* parent)
    : QComboBox(parent), midi_(midi), keyBoard_(keyBoard) {
    setObjectName(QStringLiteral("Combo1"));
    setEditable(true);
    setInsertPolicy(QComboBox::NoInsert);
    // The wheel does not choose instruments, so it does not take the focus either.
    setFocusPolicy(Qt::StrongFocus);
    setToolTip(QString::fromUtf8("音色"));
    for (const std::string_view name : kInstrumentNames) {
        addItem(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    }
    setCurrentIndex(0);
    // Text dropped into the field would bypass the lock, as typing would.
    lineEdit()->setAcceptDrops(false);

    // The popup container filters the list for its own picks; filters installed later run
    // first, so a locked selector sees the pick before the container does.
    view()->installEventFilter(this);
    view()->viewport()->installEventFilter(this);

    connect(this, &QComboBox::activated, this, guardedSlot(this, &InstrumentSelector::Click));
    connect(view()->verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
            &InstrumentSelector::Scroll);
}

void InstrumentSelector::Click() {
    setLocked(false);
    const std::int16_t program = toInt16(currentIndex());
    midi_.SetInstrument(kKeyboardChannel, kBank, program);
    keyBoard_.setFocus();
}

void InstrumentSelector::KeyDown(std::int16_t keyCode) {
    if (keyCode == vk::kReturn) {
        keyBoard_.setFocus();
        setLocked(false);
    } else {
        setLocked(true);
    }
}

void InstrumentSelector::Scroll() { setLocked(false); }

void InstrumentSelector::setLocked(bool locked) {
    locked_ = locked;
    lineEdit()->setReadOnly(locked);
}

void InstrumentSelector::keyPressEvent(QKeyEvent* event) {
    const std::int16_t keyCode = keyCodeOf(*event);
    KeyDown(keyCode);
    // Enter never reaches the text field, where it would commit the typed text as a choice.
    if (keyCode == vk::kReturn || (locked_ && !passesLock(*event))) {
        event->accept();
        return;
    }
    QComboBox::keyPressEvent(event);
}

void InstrumentSelector::inputMethodEvent(QInputMethodEvent* event) {
    if (!event->commitString().isEmpty() || !event->preeditString().isEmpty()) {
        KeyDown(kProcessKey);
    }
    // The read-only field would still take the text: a locked selector drops it.
    if (locked_) {
        event->accept();
        return;
    }
    QComboBox::inputMethodEvent(event);
}

void InstrumentSelector::wheelEvent(QWheelEvent* event) {
    // Only a pick from the list chooses an instrument; the wheel over the closed selector
    // would change the text without sending anything.
    event->ignore();
}

bool InstrumentSelector::eventFilter(QObject* watched, QEvent* event) {
    if (locked_ && filterLockedList(watched, event)) {
        return true;
    }
    return QComboBox::eventFilter(watched, event);
}

// A locked list still opens, moves its highlight and scrolls, but a pick only closes it.
bool InstrumentSelector::filterLockedList(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::ShortcutOverride:
        case QEvent::KeyPress:
            if (watched == view() && isPickKey(*static_cast<QKeyEvent*>(event))) {
                event->accept();
                hidePopup();
                return true;
            }
            return false;
        case QEvent::MouseButtonPress:
            pressedInList_ = watched == view()->viewport();
            return false;
        case QEvent::MouseButtonRelease: {
            if (watched != view()->viewport()) return false;
            const auto* mouse = static_cast<QMouseEvent*>(event);
            // The release that ends the click which opened the list lands here too; it only
            // closes the list when the press was on an item.
            if (pressedInList_ && view()->indexAt(mouse->position().toPoint()).isValid()) {
                hidePopup();
            }
            pressedInList_ = false;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace velune
