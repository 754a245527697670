#include "main_window/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QUrl>

#include "help_dialog/dialog.h"
#include "main_window/fonts.h"
#include "main_window/instrument_selector.h"
#include "main_window/keyboard_surface.h"
#include "main_window/layout.h"
#include "main_window/opacity_bar.h"
#include "main_window/overflow_guard.h"

namespace velune {
namespace {

QRect toPixels(const layout::Rect& r) {
    return {layout::px(r.left), layout::px(r.top), layout::px(r.width), layout::px(r.height)};
}

// 0x00BBGGRR, the platform's order, to a Qt colour.
QColor fromBgr(std::uint32_t bgr) {
    return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF);
}

QColor colorOf(layout::Color color) {
    const QPalette system = QApplication::palette();
    switch (color) {
        case layout::Color::HighlightText:
            return system.color(QPalette::HighlightedText);
        case layout::Color::Highlight:
            return system.color(QPalette::Highlight);
        case layout::Color::White:
            return fromBgr(kRowWhite);
        case layout::Color::DesignRed:
            return fromBgr(kDesignRed);
    }
    return {};
}

QFont fontOf(const char* face, double points, bool bold) {
    QFont font(QString::fromUtf8(face));
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette colors = widget->palette();
    colors.setColor(QPalette::WindowText, color);
    widget->setPalette(colors);
}

}  // namespace

Form1::Form1(Module1& midi, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      midi_(midi),
      performance_(midi, *this),
      urlOpener_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    installFontSubstitutes();
    setObjectName(QStringLiteral("form1"));
    setWindowTitle(QString::fromUtf8(layout::kTitle));
    setFixedSize(layout::px(layout::kClientWidth), layout::px(layout::kClientHeight));
    setAutoFillBackground(true);
    QPalette colors = palette();
    colors.setColor(QPalette::Window, Qt::black);
    setPalette(colors);

    KeyBoard = new KeyboardSurface(performance_, this);
    KeyBoard->setGeometry(toPixels(layout::kKeyBoard));

    Combo1 = new InstrumentSelector(midi_, *KeyBoard, this);
    Combo1->setGeometry(toPixels(layout::kCombo1));

    touming = new OpacityBar(this);
    touming->setGeometry(toPixels(layout::kTouming));
    connect(touming, &OpacityBar::changed, this, guardedSlot(this, &Form1::touming_Change));
    connect(touming, &OpacityBar::scrolled, this, guardedSlot(this, &Form1::touming_Scroll));
    connect(touming, &OpacityBar::keyPressed, this, guardedSlot(this, &Form1::touming_KeyDown));

    Command1 = new QPushButton(QString::fromUtf8(layout::kCommand1Caption), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setFont(fontOf(kSongFace, layout::kCommand1Points, true));
    Command1->setGeometry(toPixels(layout::kCommand1));
    Command1->setAutoDefault(false);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);

    buildLabels();

    setTabOrder(KeyBoard, Combo1);
    setTabOrder(Combo1, touming);
    setTabOrder(touming, Command1);
}

Form1::~Form1() = default;

void Form1::buildLabels() {
    for (const layout::LabelDesign& design : layout::kLabels) {
        auto* label = new QLabel(QString::fromUtf8(design.caption), this);
        label->setObjectName(QString::fromLatin1(design.name));
        label->setGeometry(toPixels(design.rect));
        label->setFont(fontOf(design.face, design.points, design.bold));
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setFocusPolicy(Qt::NoFocus);
        label->setAttribute(Qt::WA_TranslucentBackground);
        setTextColor(label, colorOf(design.color));
        const QString name = label->objectName();
        if (name == QLatin1String("mx")) {
            mx = label;
        } else if (name.size() > 1 && name[0] == QLatin1Char('m')) {
            rows_.at(name.mid(1).toInt() - 1) = label;
        }
    }
    // The rows draw over each other; the marker stays on top of them.
    mx->raise();
}

void Form1::load() {
    midi_.CheckMidiDevice();
    midi_.OpenMidiOut(kMidiMapper);
    performance_.reset();
    ApplyOpacity(255);
}

void Form1::showCentered() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    show();
    KeyBoard->setFocus();
}

void Form1::ApplyOpacity(std::uint8_t alpha) { setWindowOpacity(alpha / 255.0); }

void Form1::setUrlOpener(std::function<void(const QUrl&)> opener) {
    urlOpener_ = std::move(opener);
}

void Form1::closeEvent(QCloseEvent* event) {
    event->accept();
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    guarded([this] {
        performance_.silence();
        midi_.CloseMidiOut();
    });
    // An open help dialog goes with the program; its own closing steps do not run.
    if (dialog_) {
        dialog_->hide();
    }
    QCoreApplication::exit(0);
}

void Form1::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    KeyBoard->setFocus();
}

void Form1::setRowColor(int row, std::uint32_t colorBgr) {
    setTextColor(rows_.at(row - 1), fromBgr(colorBgr));
}

void Form1::setMarkerLeft(std::int16_t twips) { mx->move(layout::px(twips), mx->y()); }

// F1. Moving the thumb raises Change inside setValue when the position differs.
void Form1::restoreOpacity() {
    touming->setValue(255);
    ApplyOpacity(255);
}

void Form1::touming_Change() {
    ApplyOpacity(positionToAlpha(touming->value()));
    KeyBoard->setFocus();
}

// During a drag the focus stays on the bar; the Change at its end returns it.
void Form1::touming_Scroll() { ApplyOpacity(positionToAlpha(touming->value())); }

void Form1::touming_KeyDown(std::int16_t keyCode, std::int16_t shift) {
    performance_.keyDown(keyCode, shift);
    KeyBoard->setFocus();
}

void Form1::Command1_Click() {
    KeyBoard->setFocus();
    if (!dialog_) {
        dialog_ = new Dialog([this] { returnToKeyboard(); }, urlOpener_, this);
    }
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

void Form1::returnToKeyboard() {
    show();
    raise();
    activateWindow();
    KeyBoard->setFocus();
}

}  // namespace velune
