// The main window as a player meets it: the stored layout, the focus on KeyBoard, notes from
// key events (auto-repeat included) and the shut-down messages.

#include "form1.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <gtest/gtest.h>

#include "qt_app.h"
#include "recording_midi.h"

namespace velune {
namespace {

using testing::shortMessage;

struct Form1Test : ::testing::Test, testing::WithApplication {
    testing::RecordingService service;
    testing::RecordingUi ui;
    Module1 midi{service, ui};
    std::unique_ptr<Form1> form = std::make_unique<Form1>(midi);

    void SetUp() override {
        form->load();
        form->showCentered();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        service.calls.clear();
        service.messages.clear();
    }
    QWidget* find(const char* name) { return form->findChild<QWidget*>(name); }
    QWidget* focused() { return QApplication::focusWidget(); }
    int noteOns() const {
        int count = 0;
        for (auto word : service.messages) count += (word & 0xF0) == 0x90;
        return count;
    }
};

struct Placed {
    const char* name;
    int left, top, width, height;  // twips
    const char* text;
};

// The stored design, in twips, as the window was drawn.
const Placed kDesign[] = {
    {"Label1", 840, 360, 975, 375, "音色:"},
    {"Combo1", 1920, 360, 2775, 300, nullptr},
    {"Label3", 5040, 360, 1455, 255, "窗体透明度："},
    {"touming", 6480, 360, 1935, 255, nullptr},
    {"Label4", 6000, 720, 1455, 255, "按下F1键还原"},
    {"Command1", 8760, 360, 975, 375, "帮助"},
    {"mx", 600, 1080, 495, 855, "X"},
    {"m1", 1680, 1320, 8055, 975, ".     .     .     .     .     .     ."},
    {"m2", 1680, 1560, 8055, 975, ".     .     .     .     .     .     ."},
    {"KeyBoard", 240, 2040, 975, 495, nullptr},
    {"m3", 1560, 2280, 8055, 975, "1    2    3    4    5    6    7"},
    {"m4", 1680, 2760, 8055, 975, ".     .     .     .     .     .     ."},
    {"m5", 1560, 3480, 8055, 975, "1    2    3    4    5    6    7"},
    {"m6", 1560, 4560, 8055, 975, "1    2    3    4    5    6    7"},
    {"m7", 1560, 5640, 8055, 975, "1    2    3    4    5    6    7"},
    {"m8", 1680, 6000, 8055, 975, ".     .     .     .     .     .     ."},
    {"m9", 1560, 6960, 8055, 975, "1    2    3    4    5    6    7"},
    {"m11", 1680, 7320, 8055, 975, ".     .     .     .     .     .     ."},
    {"m10", 1680, 7560, 8055, 975, ".     .     .     .     .     .     ."},
    {"Label2", 9000, 8520, 855, 375, "Velune"},
};

int px(int twips) { return qRound(twips / 15.0); }

TEST_F(Form1Test, ControlsStandWhereTheDesignPutsThem) {
    for (const Placed& p : kDesign) {
        QWidget* w = find(p.name);
        ASSERT_NE(w, nullptr) << p.name;
        EXPECT_EQ(w->geometry(), QRect(px(p.left), px(p.top), px(p.width), px(p.height)))
            << p.name;
        if (p.text == nullptr) continue;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            EXPECT_EQ(label->text(), QString::fromUtf8(p.text)) << p.name;
            EXPECT_EQ(label->focusPolicy(), Qt::NoFocus) << p.name;
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            EXPECT_EQ(button->text(), QString::fromUtf8(p.text)) << p.name;
        }
    }
}

TEST_F(Form1Test, FontsAndColoursFollowTheDesign) {
    const QPalette system = QApplication::palette();
    const struct {
        const char* name;
        double points;
        bool bold;
        bool song;  // the Chinese serif face; otherwise Arial
        QColor color;
    } cases[] = {
        {"Label1", 15.75, false, true, system.color(QPalette::HighlightedText)},
        {"Label3", 12, false, true, Qt::white},
        {"Label4", 10.5, false, true, Qt::white},
        {"Command1", 9, true, true, QColor()},
        {"mx", 36, true, false, system.color(QPalette::Highlight)},
        {"m1", 36, true, false, Qt::white},
        {"m6", 36, true, false, QColor(255, 0, 0)},
        {"m10", 36, true, false, Qt::white},
        {"Label2", 14.25, true, true, system.color(QPalette::HighlightedText)},
    };
    for (const auto& c : cases) {
        QWidget* w = find(c.name);
        ASSERT_NE(w, nullptr) << c.name;
        EXPECT_DOUBLE_EQ(w->font().pointSizeF(), c.points) << c.name;
        EXPECT_EQ(w->font().bold(), c.bold) << c.name;
        EXPECT_EQ(w->font().family(), c.song ? QStringLiteral("宋体") : QStringLiteral("Arial"))
            << c.name;
        if (c.color.isValid()) {
            EXPECT_EQ(w->palette().color(QPalette::WindowText), c.color) << c.name;
        }
    }
}

TEST_F(Form1Test, WindowIsFixedBlackAndTitled) {
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Velunev1.0"));
    EXPECT_EQ(form->size(), QSize(684, 605));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_DOUBLE_EQ(form->windowOpacity(), 1.0);
}

TEST_F(Form1Test, FocusStartsOnKeyBoardAndTabWalksTheFourControls) {
    EXPECT_EQ(focused(), find("KeyBoard"));
    const char* order[] = {"Combo1", "touming", "Command1", "KeyBoard"};
    for (const char* next : order) {
        QTest::keyClick(focused(), Qt::Key_Tab);
        QWidget* now = focused();
        // The editable combo box hands its focus to its line edit.
        if (now && now->parentWidget() == find("Combo1")) now = now->parentWidget();
        EXPECT_EQ(now, find(next));
    }
}

TEST_F(Form1Test, ATuneOnTheLetterKeysAndTheKeypad) {
    const Qt::Key letters[] = {Qt::Key_M, Qt::Key_Comma, Qt::Key_Period, Qt::Key_J,
                               Qt::Key_K, Qt::Key_L,     Qt::Key_U};
    const int notes[] = {60, 62, 64, 65, 67, 69, 71};
    for (int i = 0; i < 7; ++i) {
        QTest::keyClick(focused(), letters[i]);
        EXPECT_EQ(service.messages.back(), shortMessage(0x90, notes[i], 100)) << i;
        QTest::keyClick(focused(), Qt::Key(Qt::Key_1 + i), Qt::KeypadModifier);
        EXPECT_EQ(service.messages.back(), shortMessage(0x90, notes[i], 100)) << "keypad " << i;
    }
    EXPECT_EQ(noteOns(), 14);
    EXPECT_EQ(find("mx")->x(), px(8530));
    QTest::keyClick(focused(), Qt::Key_1);  // main-row digits are not note keys
    EXPECT_EQ(noteOns(), 14);
}

TEST_F(Form1Test, X11AutoRepeatSoundsOneNote) {
    QWidget* keyboard = find("KeyBoard");
    QTest::keyPress(keyboard, Qt::Key_M);
    for (int i = 0; i < 10; ++i) {
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_M, Qt::NoModifier, QString("m"), true);
        QApplication::sendEvent(keyboard, &release);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_M, Qt::NoModifier, QString("m"), true);
        QApplication::sendEvent(keyboard, &press);
    }
    QTest::keyRelease(keyboard, Qt::Key_M);
    EXPECT_EQ(noteOns(), 1);
    QTest::keyClick(keyboard, Qt::Key_M);
    EXPECT_EQ(noteOns(), 2) << "a real release lets the key play again";
}

TEST_F(Form1Test, RegisterKeysPaintTheRows) {
    QWidget* keyboard = find("KeyBoard");
    auto color = [&](const char* row) { return find(row)->palette().color(QPalette::WindowText); };
    QTest::keyPress(keyboard, Qt::Key_S);
    EXPECT_EQ(color("m1"), QColor(225, 0, 0));
    EXPECT_EQ(color("m3"), QColor(225, 0, 0));
    EXPECT_EQ(color("m6"), QColor(Qt::white));
    QTest::keyClick(keyboard, Qt::Key_U);
    EXPECT_EQ(service.messages.back(), shortMessage(0x90, 95, 100));
    QTest::keyRelease(keyboard, Qt::Key_S);
    EXPECT_EQ(color("m1"), QColor(Qt::white));
    EXPECT_EQ(color("m6"), QColor(225, 0, 0));
}

TEST_F(Form1Test, NoteKeyOnTheHelpButtonPlaysNothing) {
    find("Command1")->setFocus();
    QTest::keyClick(find("Command1"), Qt::Key_M);
    EXPECT_EQ(noteOns(), 0);
}

TEST_F(Form1Test, ShutDownSilencesTheLastNoteThenClosesThePort) {
    const struct {
        const char* name;
        std::vector<Qt::Key> keys;
        int note;
    } cases[] = {{"no note played", {}, 36}, {"after L", {Qt::Key_L}, 69}};
    for (const auto& c : cases) {
        testing::RecordingService s;
        testing::RecordingUi u;
        Module1 m(s, u);
        Form1 window(m);
        window.load();
        window.showCentered();
        for (Qt::Key key : c.keys) QTest::keyClick(window.findChild<QWidget*>("KeyBoard"), key);
        s.calls.clear();
        window.close();
        char off[16];
        std::snprintf(off, sizeof off, "%#x", shortMessage(0x80, c.note, 0));
        EXPECT_EQ(s.calls, (std::vector<std::string>{"send 7 " + std::string(off), "close 7"}))
            << c.name;
    }
}

TEST_F(Form1Test, StartUpChecksOpensAndSendsNothingElse) {
    testing::RecordingService s;
    testing::RecordingUi u;
    Module1 m(s, u);
    Form1 window(m);
    window.load();
    EXPECT_EQ(s.calls, (std::vector<std::string>{"query", "open -1"}));
}

}  // namespace
}  // namespace velune
