// The main window as a player meets it: its look, the focus on KeyBoard, notes from key events
// (X11 auto-repeat included), keys whose release goes elsewhere, an overflow, and shut-down.

#include <QComboBox>
#include <QFontInfo>
#include <QLabel>
#include <QWindow>

#include "form_fixture.h"
#include "main_window/overflow_guard.h"

namespace velune {
namespace {

using testing::shortMessage;

struct Form1Test : testing::FormFixture {
    QColor inkOf(const char* name) { return find(name)->palette().color(QPalette::WindowText); }
};

// A few facts a player sees, not the stored table again: the window's size and title, the
// register rows' colours, Chinese and Latin faces that exist, a row big enough for its digits.
TEST_F(Form1Test, LooksAsDesigned) {
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Velunev1.0"));
    EXPECT_EQ(form->size(), QSize(684, 605));
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_EQ(inkOf("m6"), QColor(255, 0, 0));
    EXPECT_EQ(inkOf("m5"), QColor(Qt::white));
    auto* row = find<QLabel>("m3");
    EXPECT_EQ(row->text(), QStringLiteral("1    2    3    4    5    6    7"));
    EXPECT_EQ(row->size(), QSize(537, 65));
    EXPECT_LE(QFontMetrics(row->font()).horizontalAdvance(row->text()), row->width());
    EXPECT_EQ(QFontInfo(row->font()).family(), QStringLiteral("Liberation Sans"));
    const QString chinese = QFontInfo(find("Label1")->font()).family();
    EXPECT_TRUE(chinese.contains(QLatin1String("CJK")) ||
                chinese.startsWith(QLatin1String("AR PL")))
        << chinese.toStdString();
    EXPECT_GT(find("mx")->geometry().top(), find("Combo1")->geometry().bottom());
}

TEST_F(Form1Test, FocusStartsOnKeyBoardAndTabWalksTheFourControls) {
    EXPECT_EQ(focused(), keyBoard());
    for (const char* next : {"Combo1", "touming", "Command1", "KeyBoard"}) {
        type(Qt::Key_Tab);
        QWidget* now = focused();
        // The editable combo box hands its focus to its line edit.
        if (now && now->parentWidget() == find("Combo1")) now = now->parentWidget();
        EXPECT_EQ(now, find(next));
    }
}

// Key events reach the performance: letters, the keypad with Num Lock on, Space; not the
// digits of the main row.
TEST_F(Form1Test, KeyEventsPlay) {
    type(Qt::Key_Comma);
    type(Qt::Key_7, Qt::KeypadModifier);
    type(Qt::Key_1);
    type(Qt::Key_Space);
    EXPECT_EQ(service.messages,
              (std::vector<std::uint32_t>{shortMessage(0x80, 36, 0), shortMessage(0x90, 62, 100),
                                          shortMessage(0x80, 62, 0), shortMessage(0x90, 71, 100),
                                          shortMessage(0x80, 71, 0)}));
    EXPECT_EQ(find("mx")->x(), 569) << "the marker stands over the 7";
}

TEST_F(Form1Test, X11AutoRepeatSoundsOneNote) {
    QTest::keyPress(keyBoard(), Qt::Key_M);
    for (int i = 0; i < 10; ++i) {
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_M, Qt::NoModifier, QString("m"), true);
        QApplication::sendEvent(keyBoard(), &release);
        QKeyEvent press(QEvent::KeyPress, Qt::Key_M, Qt::NoModifier, QString("m"), true);
        QApplication::sendEvent(keyBoard(), &press);
    }
    QTest::keyRelease(keyBoard(), Qt::Key_M);
    EXPECT_EQ(noteOns(), 1);
    QTest::keyClick(keyBoard(), Qt::Key_M);
    EXPECT_EQ(noteOns(), 2) << "a real release lets the key play again";
}

// The release of a held key goes to another control or another window: the key counts as
// released all the same, and a key still down when the keys come back sounds once.
TEST_F(Form1Test, KeysReleasedElsewhereCountAsReleased) {
    QTest::keyPress(keyBoard(), Qt::Key_J);
    QTest::mouseClick(find("Combo1"), Qt::LeftButton);
    ASSERT_NE(focused(), keyBoard());
    QTest::keyRelease(focused(), Qt::Key_J);
    keyBoard()->setFocus();
    for (int repeat = 0; repeat < 3; ++repeat) QTest::keyPress(keyBoard(), Qt::Key_J);
    EXPECT_EQ(noteOns(), 2) << "J plays again, once";

    QTest::keyPress(keyBoard(), Qt::Key_E);
    EXPECT_EQ(inkOf("m4"), QColor(225, 0, 0));
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    QTest::keyRelease(&other, Qt::Key_E);
    EXPECT_EQ(inkOf("m4"), QColor(Qt::white));
    EXPECT_EQ(inkOf("m6"), QColor(225, 0, 0));
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    type(Qt::Key_M);
    EXPECT_EQ(service.messages.back(), shortMessage(0x90, 60, 100)) << "middle C";
}

int overflowsReported = 0;

// The service answers with a code outside 16 bits: the runtime's box and the end, and the
// exception stays out of Qt.
TEST_F(Form1Test, AnOverflowInAKeyEndsWithTheRuntimesBox) {
    overflowsReported = 0;
    setOverflowReport([] { ++overflowsReported; });
    service.sendResult = 40000;
    EXPECT_NO_THROW(type(Qt::Key_M));
    EXPECT_NO_THROW(form->close());
    setOverflowReport(nullptr);
    EXPECT_EQ(overflowsReported, 2);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(Form1Test, ShutDownSilencesTheLastNoteThenClosesThePort) {
    for (const bool played : {false, true}) {
        testing::RecordingService s;
        testing::RecordingUi u;
        Module1 m(s, u);
        Form1 window(m);
        window.load();
        EXPECT_EQ(s.calls, (std::vector<std::string>{"query", "open -1"}))
            << "start-up sends nothing";
        window.showCentered();
        if (played) QTest::keyClick(window.findChild<QWidget*>("KeyBoard"), Qt::Key_L);
        s.calls.clear();
        window.close();
        char off[16];
        std::snprintf(off, sizeof off, "%#x", shortMessage(0x80, played ? 69 : 36, 0));
        EXPECT_EQ(s.calls, (std::vector<std::string>{"send 7 " + std::string(off), "close 7"}));
    }
}

}  // namespace
}  // namespace velune
