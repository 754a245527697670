// The opacity bar touming and F1 on a real main window: the position-to-alpha conversion, drags,
// arrow and trough clicks, keys on the bar, and F1 from KeyBoard and from the bar.

#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QStyleOptionSlider>
#include <QTest>

#include <vector>

#include "checked_int.h"
#include "form1.h"
#include "module1.h"
#include "opacity_bar.h"
#include "qt_app.h"
#include "recording_midi.h"

namespace velune {
namespace {

using testing::application;
using testing::RecordingService;
using testing::RecordingUi;
using testing::shortMessage;

TEST(PositionToAlpha, PassesZeroTo255AndOverflowsOutside) {
    for (const int position : {0, 1, 3, 128, 254, 255}) {
        EXPECT_EQ(positionToAlpha(position), position);
    }
    for (const int position : {-1, 256, -32768, 32767}) {
        EXPECT_THROW(positionToAlpha(position), OverflowError) << position;
    }
}

class OpacityTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { application(); }

    void SetUp() override {
        form.load();
        form.showCentered();
        QApplication::setActiveWindow(&form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        bar = form.findChild<OpacityBar*>(QStringLiteral("touming"));
        keyBoard = form.findChild<QWidget*>(QStringLiteral("KeyBoard"));
        ASSERT_NE(bar, nullptr);
        ASSERT_NE(keyBoard, nullptr);
        ASSERT_EQ(QApplication::focusWidget(), keyBoard);
        service.messages.clear();
    }

    QPoint centerOf(QStyle::SubControl part) const {
        QStyleOptionSlider option;
        option.initFrom(bar);
        option.orientation = Qt::Horizontal;
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.sliderPosition = bar->sliderPosition();
        option.sliderValue = bar->value();
        option.singleStep = bar->singleStep();
        option.pageStep = bar->pageStep();
        option.upsideDown = false;
        option.subControls = QStyle::SC_All;
        return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar).center();
    }

    // A key pressed and released on the keyboard: each event goes to the widget that has the
    // focus at that moment.
    void type(Qt::Key key) { QTest::keyClick(form.windowHandle(), key); }

    double expectedOpacity() const { return bar->value() / 255.0; }
    QWidget* focused() const { return QApplication::focusWidget(); }

    RecordingService service;
    RecordingUi ui;
    Module1 midi{service, ui};
    Form1 form{midi};
    OpacityBar* bar = nullptr;
    QWidget* keyBoard = nullptr;
};

TEST_F(OpacityTest, StartsOpaqueWithTheThumbAtTheRightEnd) {
    EXPECT_DOUBLE_EQ(form.windowOpacity(), 1.0);
    EXPECT_EQ(bar->value(), 255);
    EXPECT_EQ(bar->maximum(), 255);
}

TEST_F(OpacityTest, OpacityFollowsTheThumbDuringADragAndFocusReturnsAtItsEnd) {
    QSignalSpy changes(bar, &OpacityBar::changed);
    QSignalSpy scrolls(bar, &OpacityBar::scrolled);
    QPoint at = centerOf(QStyle::SC_ScrollBarSlider);
    QTest::mousePress(bar, Qt::LeftButton, {}, at);
    EXPECT_EQ(focused(), bar);
    int previous = bar->value();
    for (int step = 0; step < 4; ++step) {
        at -= QPoint(12, 0);
        QTest::mouseMove(bar, at);
        SCOPED_TRACE(::testing::Message() << "step " << step << ", position " << bar->value());
        EXPECT_LT(bar->value(), previous);
        EXPECT_DOUBLE_EQ(form.windowOpacity(), expectedOpacity());
        EXPECT_EQ(focused(), bar);
        previous = bar->value();
    }
    EXPECT_EQ(scrolls.count(), 4);
    EXPECT_EQ(changes.count(), 0);
    // Past the left end: the lowest position leaves the window faint, never invisible.
    QTest::mouseMove(bar, QPoint(-50, at.y()));
    EXPECT_EQ(bar->value(), 3);
    EXPECT_DOUBLE_EQ(form.windowOpacity(), 3 / 255.0);
    EXPECT_EQ(focused(), bar);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(-50, at.y()));
    EXPECT_EQ(changes.count(), 1);
    EXPECT_DOUBLE_EQ(form.windowOpacity(), 3 / 255.0);
    EXPECT_EQ(focused(), keyBoard);
}

TEST_F(OpacityTest, ClickOnTheThumbWithoutMovingItIsNoChange) {
    QSignalSpy changes(bar, &OpacityBar::changed);
    QTest::mouseClick(bar, Qt::LeftButton, {}, centerOf(QStyle::SC_ScrollBarSlider));
    EXPECT_EQ(bar->value(), 255);
    EXPECT_EQ(changes.count(), 0);
    EXPECT_EQ(focused(), bar);
}

TEST_F(OpacityTest, ArrowAndTroughClicksChangeTheOpacityAndReturnTheFocus) {
    struct Case {
        const char* name;
        QStyle::SubControl part;
        int position;
    };
    const Case cases[] = {
        {"left arrow", QStyle::SC_ScrollBarSubLine, 252},
        {"left arrow again", QStyle::SC_ScrollBarSubLine, 249},
        {"trough left of the thumb", QStyle::SC_ScrollBarSubPage, 224},
        {"right arrow", QStyle::SC_ScrollBarAddLine, 227},
        {"trough right of the thumb", QStyle::SC_ScrollBarAddPage, 252},
    };
    QSignalSpy changes(bar, &OpacityBar::changed);
    int expectedChanges = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTest::mouseClick(bar, Qt::LeftButton, {}, centerOf(c.part));
        EXPECT_EQ(bar->value(), c.position);
        EXPECT_DOUBLE_EQ(form.windowOpacity(), c.position / 255.0);
        EXPECT_EQ(focused(), keyBoard);
        EXPECT_EQ(changes.count(), ++expectedChanges);
    }
}

TEST_F(OpacityTest, F1RestoresFullOpacityFromKeyBoardAndFromTheBar) {
    for (const bool fromBar : {false, true}) {
        SCOPED_TRACE(fromBar ? "F1 on touming" : "F1 on KeyBoard");
        QTest::mouseClick(bar, Qt::LeftButton, {}, centerOf(QStyle::SC_ScrollBarSubPage));
        ASSERT_LT(form.windowOpacity(), 1.0);
        QSignalSpy changes(bar, &OpacityBar::changed);
        if (fromBar) bar->setFocus(Qt::TabFocusReason);
        type(Qt::Key_F1);
        EXPECT_DOUBLE_EQ(form.windowOpacity(), 1.0);
        EXPECT_EQ(bar->value(), 255);
        EXPECT_EQ(focused(), keyBoard);
        EXPECT_EQ(changes.count(), 1);
        EXPECT_TRUE(service.messages.empty());
    }
}

TEST_F(OpacityTest, F1WithTheThumbAtTheRightEndRaisesNoChangeAndStillAppliesFullOpacity) {
    // A window made faint by other means than the bar: F1 must still apply 255.
    form.ApplyOpacity(100);
    QSignalSpy changes(bar, &OpacityBar::changed);
    for (const bool fromBar : {false, true}) {
        SCOPED_TRACE(fromBar ? "F1 on touming" : "F1 on KeyBoard");
        if (fromBar) bar->setFocus(Qt::TabFocusReason);
        type(Qt::Key_F1);
        EXPECT_DOUBLE_EQ(form.windowOpacity(), 1.0);
        EXPECT_EQ(focused(), keyBoard);
        form.ApplyOpacity(100);
    }
    EXPECT_EQ(changes.count(), 0);
}

TEST_F(OpacityTest, KeysOnTheBarPlayAsOnKeyBoardAndHandTheFocusBack) {
    bar->setFocus(Qt::TabFocusReason);
    type(Qt::Key_M);
    EXPECT_EQ(service.messages,
              (std::vector<std::uint32_t>{shortMessage(0x80, 36, 0), shortMessage(0x90, 60, 100)}));
    EXPECT_EQ(focused(), keyBoard);
    // The release came to KeyBoard and cleared the held flag: M plays again.
    EXPECT_EQ(form.performance().keyState(0), 0);
    EXPECT_DOUBLE_EQ(form.windowOpacity(), 1.0);
}

// After the key has gone to KeyBoard's handler, the bar still moves as a scroll bar does.
TEST_F(OpacityTest, ScrollKeysOnTheBarMoveItAndHandTheFocusBack) {
    struct Case {
        const char* name;
        Qt::Key key;
        int position;
    };
    const Case cases[] = {
        {"Left", Qt::Key_Left, 252},    {"Up", Qt::Key_Up, 249},
        {"Page Up", Qt::Key_PageUp, 224}, {"Right", Qt::Key_Right, 227},
        {"Down", Qt::Key_Down, 230},    {"Page Down", Qt::Key_PageDown, 255},
        {"Home", Qt::Key_Home, 3}, {"End", Qt::Key_End, 255},
    };
    QSignalSpy changes(bar, &OpacityBar::changed);
    int expectedChanges = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bar->setFocus(Qt::TabFocusReason);
        type(c.key);
        EXPECT_EQ(bar->value(), c.position);
        EXPECT_DOUBLE_EQ(form.windowOpacity(), c.position / 255.0);
        EXPECT_EQ(focused(), keyBoard);
        EXPECT_EQ(changes.count(), ++expectedChanges);
    }
    EXPECT_TRUE(service.messages.empty());
}

}  // namespace
}  // namespace velune
