#include "app/message_box_ui.h"

#include <QApplication>
#include <QMessageBox>

namespace velune {

void MessageBoxUi::showMessage(const std::string& text) {
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Velune"), QString::fromStdString(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

}  // namespace velune
