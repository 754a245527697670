#include "help_dialog/dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QUrl>
#include <algorithm>

#include "help_dialog/click_label.h"
#include "help_dialog/help_layout.h"

namespace velune {
namespace {

using help_layout::px;

// 0x00BBGGRR, the platform's order, to a Qt colour.
QColor fromBgr(unsigned bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

void setColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
    QPalette colors = widget->palette();
    colors.setColor(role, color);
    widget->setPalette(colors);
}

// A caption that would wrap onto a hidden line, or run past its box, gets the width it needs
// on one line instead, never past the client area: the maker's name and web address must show
// whole. Captions that fit keep their stored width.
int fittedWidth(const QLabel& label, const QRect& box, int clientWidth) {
    const QFontMetrics metrics(label.font());
    const QRect wrapped = metrics.boundingRect(QRect(0, 0, box.width(), box.height() * 4),
                                               Qt::TextWordWrap, label.text());
    if (wrapped.width() <= box.width() && wrapped.height() <= box.height()) {
        return box.width();
    }
    const int needed = metrics.horizontalAdvance(label.text());
    return std::clamp(needed, box.width(), std::max(box.width(), clientWidth - box.left()));
}

}  // namespace

Dialog::Dialog(std::function<void()> returnToKeyboard, UrlOpener opener, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      returnToKeyboard_(std::move(returnToKeyboard)),
      opener_(std::move(opener)) {
    setObjectName(QStringLiteral("Dialog"));
    setWindowTitle(QString::fromUtf8(help_layout::kCaption));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(px(help_layout::kClientWidth), px(help_layout::kClientHeight));
    setAutoFillBackground(true);
    setColor(this, QPalette::Window, Qt::black);
    QFont font(QString::fromUtf8(help_layout::kFace));
    font.setPointSizeF(help_layout::kPoints);
    setFont(font);
    buildLabels();
}

void Dialog::buildLabels() {
    for (const help_layout::LabelDesign& design : help_layout::kLabels) {
        auto* label = new ClickLabel(this);
        label->setObjectName(QString::fromLatin1(design.name));
        label->setTextFormat(Qt::PlainText);
        label->setText(design.caption != nullptr ? QString::fromUtf8(design.caption)
                                                 : QString::fromLatin1(kMakerUrl));
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label->setWordWrap(true);
        label->setFocusPolicy(Qt::NoFocus);
        switch (design.role) {
            case help_layout::Role::Text:
                setColor(label, QPalette::WindowText, fromBgr(help_layout::kWhiteBgr));
                break;
            case help_layout::Role::Link: {
                setColor(label, QPalette::WindowText, fromBgr(help_layout::kLinkBgr));
                QFont underlined = label->font();
                underlined.setUnderline(true);
                label->setFont(underlined);
                label->setCursor(Qt::CrossCursor);
                connect(label, &ClickLabel::clicked, this, &Dialog::Label9_Click);
                break;
            }
            case help_layout::Role::Ok: {
                QFont large(QString::fromUtf8(help_layout::kFace));
                large.setPointSizeF(help_layout::kOkPoints);
                large.setBold(true);
                label->setFont(large);
                setColor(label, QPalette::WindowText,
                         QApplication::palette().color(QPalette::HighlightedText));
                setColor(label, QPalette::Window, Qt::black);
                label->setAutoFillBackground(true);
                connect(label, &ClickLabel::clicked, this, &Dialog::CloseDialog);
                break;
            }
        }
        const QRect box(px(design.rect.left), px(design.rect.top), px(design.rect.width),
                        px(design.rect.height));
        label->setGeometry(box.left(), box.top(), fittedWidth(*label, box, width()), box.height());
    }
}

void Dialog::CloseDialog() {
    // close() comes back here through closeEvent: the step runs once.
    if (closing_) {
        return;
    }
    closing_ = true;
    returnToKeyboard_();
    close();
}

void Dialog::closeEvent(QCloseEvent* event) {
    CloseDialog();
    event->accept();
}

void Dialog::keyPressEvent(QKeyEvent* event) {
    // No default and no cancel button: Enter and Escape must not close the dialog.
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Enter:
        case Qt::Key_Return:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void Dialog::Label9_Click() { opener_(QUrl(QString::fromLatin1(kMakerUrl))); }

}  // namespace velune
