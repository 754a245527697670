#include "app/auto_repeat.h"

#include <QtGui/qguiapplication_platform.h>
#include <X11/XKBlib.h>

#include <QGuiApplication>

namespace velune {

void requestDetectableAutoRepeat() {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->display() == nullptr) {
        return;
    }
    Bool supported = False;
    XkbSetDetectableAutoRepeat(x11->display(), True, &supported);
}

}  // namespace velune
