#pragma once

#include <QApplication>

namespace velune::testing {

// The one QApplication of a widget test binary. It is never destroyed: tearing Qt down during
// static destruction crashes, and the process ends right after the tests anyway.
inline QApplication& application() {
    static int argc = 1;
    static char name[] = "velune-widget-test";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = new QApplication(argc, argv);
    return *instance;
}

// Derive a fixture from this first, so the application exists before any widget member.
struct WithApplication {
    WithApplication() { application(); }
};

}  // namespace velune::testing
