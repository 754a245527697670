#include "main_window/keyboard_surface.h"

#include <QKeyEvent>

#include "main_window/key_codes.h"
#include "main_window/overflow_guard.h"
#include "performance/keyboard_performance.h"

namespace velune {

KeyboardSurface::KeyboardSurface(KeyboardPerformance& performance, QWidget* parent)
    : QWidget(parent), performance_(performance) {
    setObjectName(QStringLiteral("KeyBoard"));
    setFocusPolicy(Qt::StrongFocus);
    setAutoFillBackground(true);
    QPalette colors = palette();
    colors.setColor(QPalette::Window, Qt::black);
    colors.setColor(QPalette::WindowText, colors.color(QPalette::Text));
    setPalette(colors);
}

void KeyboardSurface::keyPressEvent(QKeyEvent* event) {
    // An auto-repeat press is a press: the held flag of the key swallows it.
    guarded([&] { performance_.keyDown(keyCodeOf(*event), shiftState(*event)); });
    event->accept();
}

void KeyboardSurface::keyReleaseEvent(QKeyEvent* event) {
    // On X11 a held key may arrive as release+press pairs; the release of such a pair is not
    // the player letting go.
    if (!event->isAutoRepeat()) {
        guarded([&] { performance_.keyUp(keyCodeOf(*event), shiftState(*event)); });
    }
    event->accept();
}

void KeyboardSurface::focusOutEvent(QFocusEvent* event) {
    performance_.releaseAll();
    QWidget::focusOutEvent(event);
}

}  // namespace velune
