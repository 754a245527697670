#include "velune_application.h"

#include <QMessageBox>
#include <QtGui/qguiapplication_platform.h>

#include <X11/XKBlib.h>

#include "checked_int.h"

namespace velune {

VeluneApplication::VeluneApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool VeluneApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const OverflowError&) {
        QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Velune"),
                        QStringLiteral("实时错误 '6':\n\n溢出"), QMessageBox::Ok);
        box.exec();
        QCoreApplication::exit(6);
        return true;
    }
}

void requestDetectableAutoRepeat() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->display() == nullptr) {
        return;
    }
    Bool supported = False;
    XkbSetDetectableAutoRepeat(x11->display(), True, &supported);
}

}  // namespace velune
