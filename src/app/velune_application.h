#pragma once

#include <QApplication>

namespace velune {

// The one place where an unexpected run-time error (an overflow) is caught: it shows the
// runtime's error box and ends the program, as the runtime would.
class VeluneApplication : public QApplication {
public:
    VeluneApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// On X11, asks the server to send a held key as presses only (no fake releases).
void requestDetectableAutoRepeat();

}  // namespace velune
