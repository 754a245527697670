#include "dialog.h"

#include <QCloseEvent>

namespace velune {

Dialog::Dialog(std::function<void()> returnToKeyboard, UrlOpener opener, QWidget* parent)
    : QDialog(parent), returnToKeyboard_(std::move(returnToKeyboard)), opener_(std::move(opener)) {
    setObjectName(QStringLiteral("Dialog"));
    setWindowTitle(QStringLiteral("Velune"));
    setAttribute(Qt::WA_DeleteOnClose);
}

void Dialog::CloseDialog() {
    returnToKeyboard_();
    close();
}

void Dialog::closeEvent(QCloseEvent* event) {
    returnToKeyboard_();
    event->accept();
}

}  // namespace velune
