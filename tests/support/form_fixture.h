#pragma once

// The widget tests' main window: a real form1 on the offscreen platform, loaded and shown as
// main() does, with the MIDI service and the boxes recorded.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <memory>

#include "app/identity.h"
#include "main_window/form1.h"
#include "recording_midi.h"

namespace velune::testing {

// The one QApplication of a test binary, set up as main() does. Never destroyed: torn down
// among the other statics at exit, after Qt's own, it crashes.
inline QApplication& application() {
    static int argc = 1;
    static char name[] = "velune-widget-test";
    static char* argv[] = {name, nullptr};
    static QApplication* instance = [] {
        auto* made = new QApplication(argc, argv);
        applyIdentity();
        return made;
    }();
    return *instance;
}

struct FormFixture : ::testing::Test {
    QApplication& app = application();
    RecordingService service;
    RecordingUi ui;
    Module1 midi{service, ui};
    std::unique_ptr<Form1> form = std::make_unique<Form1>(midi);

    void SetUp() override {
        form->load();
        form->showCentered();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        service.calls.clear();
        service.messages.clear();
    }
    template <typename Widget = QWidget>
    Widget* find(const char* name) {
        return form->findChild<Widget*>(QString::fromLatin1(name));
    }
    QWidget* keyBoard() { return find("KeyBoard"); }
    static QWidget* focused() { return QApplication::focusWidget(); }
    // A key pressed and released on the keyboard: each event goes to the widget that has the
    // focus at that moment.
    static void type(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QWidget* window = QApplication::activeWindow();
        ASSERT_NE(window, nullptr) << "no window takes the keys";
        QTest::keyClick(window->windowHandle(), key, modifiers);
    }
    int noteOns() const {
        int count = 0;
        for (auto word : service.messages) count += (word & 0xF0) == 0x90;
        return count;
    }
};

}  // namespace velune::testing
