#include "main_window/opacity_bar.h"

#include <QKeyEvent>

#include "main_window/key_codes.h"

namespace velune {
namespace {

// A scroll bar's own keys: Left and Up towards the lower bound, Right and Down towards the upper.
QAbstractSlider::SliderAction actionOf(int key) {
    switch (key) {
        case Qt::Key_Left:
        case Qt::Key_Up: return QAbstractSlider::SliderSingleStepSub;
        case Qt::Key_Right:
        case Qt::Key_Down: return QAbstractSlider::SliderSingleStepAdd;
        case Qt::Key_PageUp: return QAbstractSlider::SliderPageStepSub;
        case Qt::Key_PageDown: return QAbstractSlider::SliderPageStepAdd;
        case Qt::Key_Home: return QAbstractSlider::SliderToMinimum;
        case Qt::Key_End: return QAbstractSlider::SliderToMaximum;
        default: return QAbstractSlider::SliderNoAction;
    }
}

}  // namespace

OpacityBar::OpacityBar(QWidget* parent) : QScrollBar(Qt::Horizontal, parent) {
    setObjectName(QStringLiteral("touming"));
    setFocusPolicy(Qt::StrongFocus);
    setRange(kOpacityLowest, kOpacityHighest);
    setSingleStep(kOpacityArrowStep);
    setPageStep(kOpacityTroughStep);
    setValue(kOpacityHighest);

    connect(this, &QAbstractSlider::valueChanged, this, [this] {
        if (isSliderDown()) {
            emit scrolled();
        } else {
            emit changed();
        }
    });
    connect(this, &QAbstractSlider::sliderPressed, this, [this] { positionAtPress_ = value(); });
    connect(this, &QAbstractSlider::sliderReleased, this, [this] {
        if (value() != positionAtPress_) {
            emit changed();
        }
    });
}

void OpacityBar::keyPressEvent(QKeyEvent* event) {
    emit keyPressed(keyCodeOf(*event), shiftState(*event));
    // Then the bar handles the key itself, as a scroll bar with the focus does; a move raises
    // changed. The keys are mapped here because Qt 6.4 turns Left and Right the wrong way round
    // on a horizontal scroll bar.
    const SliderAction action = actionOf(event->key());
    if (action == SliderNoAction) {
        event->ignore();
        return;
    }
    triggerAction(action);
    event->accept();
}

}  // namespace velune
