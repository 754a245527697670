#include "app/identity.h"

#include <QApplication>
#include <QIcon>

namespace velune {

void applyIdentity() {
    QApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    QApplication::setOrganizationName(QString::fromLatin1(kOrganizationName));
    QApplication::setApplicationVersion(QString::fromLatin1(kApplicationVersion));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    // Windows without an icon of their own (form1, the help dialog) show this one.
    QApplication::setWindowIcon(QIcon(QString::fromLatin1(kIconResource)));
}

}  // namespace velune
