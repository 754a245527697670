// The opacity bar touming and F1 on a real main window: drags, arrow and trough clicks, keys on
// the bar, and F1 from KeyBoard and from the bar.

#include <QSignalSpy>
#include <QStyleOptionSlider>

#include "form_fixture.h"
#include "main_window/opacity_bar.h"

namespace velune {
namespace {

using testing::shortMessage;

struct OpacityTest : testing::FormFixture {
    OpacityBar* bar = nullptr;
    void SetUp() override {
        FormFixture::SetUp();
        bar = find<OpacityBar>("touming");
    }
    QPoint centerOf(QStyle::SubControl part) const {
        QStyleOptionSlider option;
        option.initFrom(bar);
        option.orientation = Qt::Horizontal;
        option.minimum = bar->minimum();
        option.maximum = bar->maximum();
        option.sliderPosition = option.sliderValue = bar->value();
        option.singleStep = bar->singleStep();
        option.pageStep = bar->pageStep();
        option.subControls = QStyle::SC_All;
        return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar).center();
    }
};

TEST_F(OpacityTest, OpacityFollowsTheThumbDuringADragAndFocusReturnsAtItsEnd) {
    EXPECT_DOUBLE_EQ(form->windowOpacity(), 1.0);
    QSignalSpy changes(bar, &OpacityBar::changed);
    QPoint at = centerOf(QStyle::SC_ScrollBarSlider);
    QTest::mousePress(bar, Qt::LeftButton, {}, at);
    for (int step = 0; step < 3; ++step) {
        const int before = bar->value();
        at -= QPoint(12, 0);
        QTest::mouseMove(bar, at);
        EXPECT_LT(bar->value(), before);
        EXPECT_DOUBLE_EQ(form->windowOpacity(), bar->value() / 255.0);
        EXPECT_EQ(focused(), bar);
    }
    // Past the left end: the lowest position leaves the window faint, never invisible.
    QTest::mouseMove(bar, QPoint(-50, at.y()));
    EXPECT_DOUBLE_EQ(form->windowOpacity(), 3 / 255.0);
    EXPECT_EQ(changes.count(), 0);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(-50, at.y()));
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(focused(), keyBoard());
}

TEST_F(OpacityTest, ArrowAndTroughClicksChangeTheOpacityAndReturnTheFocus) {
    const struct {
        QStyle::SubControl part;
        int position;
    } cases[] = {
        {QStyle::SC_ScrollBarSubLine, 252},
        {QStyle::SC_ScrollBarSubPage, 227},
        {QStyle::SC_ScrollBarAddLine, 230},
        {QStyle::SC_ScrollBarAddPage, 255},
    };
    for (const auto& c : cases) {
        QTest::mouseClick(bar, Qt::LeftButton, {}, centerOf(c.part));
        EXPECT_DOUBLE_EQ(form->windowOpacity(), c.position / 255.0) << c.part;
        EXPECT_EQ(focused(), keyBoard()) << c.part;
    }
    QTest::mouseClick(bar, Qt::LeftButton, {}, centerOf(QStyle::SC_ScrollBarSlider));
    EXPECT_EQ(focused(), bar) << "a click on the thumb that does not move it changes nothing";
}

// F1 moves the thumb to the right end and applies full opacity, also when the thumb is there
// already and the window was made faint by other means; the focus goes to KeyBoard.
TEST_F(OpacityTest, F1RestoresFullOpacityFromKeyBoardAndFromTheBar) {
    for (const bool fromBar : {false, true}) {
        for (const bool thumbAtEnd : {false, true}) {
            SCOPED_TRACE(::testing::Message()
                         << "from bar " << fromBar << ", at end " << thumbAtEnd);
            if (thumbAtEnd) {
                form->ApplyOpacity(100);
            } else {
                QTest::mouseClick(bar, Qt::LeftButton, {}, centerOf(QStyle::SC_ScrollBarSubPage));
            }
            ASSERT_LT(form->windowOpacity(), 1.0);
            if (fromBar) bar->setFocus(Qt::TabFocusReason);
            type(Qt::Key_F1);
            EXPECT_DOUBLE_EQ(form->windowOpacity(), 1.0);
            EXPECT_EQ(bar->value(), 255);
            EXPECT_EQ(focused(), keyBoard());
        }
    }
    EXPECT_TRUE(service.messages.empty());
}

// A key on the bar goes to KeyBoard's handler first, then the bar moves as a scroll bar does.
TEST_F(OpacityTest, KeysOnTheBarPlayOrScrollAndHandTheFocusBack) {
    bar->setFocus(Qt::TabFocusReason);
    type(Qt::Key_M);
    EXPECT_EQ(service.messages,
              (std::vector<std::uint32_t>{shortMessage(0x80, 36, 0), shortMessage(0x90, 60, 100)}));
    EXPECT_EQ(focused(), keyBoard());
    const struct {
        Qt::Key key;
        int position;
    } cases[] = {{Qt::Key_Left, 252},
                 {Qt::Key_PageUp, 227},
                 {Qt::Key_Down, 230},
                 {Qt::Key_Home, 3},
                 {Qt::Key_End, 255}};
    for (const auto& c : cases) {
        bar->setFocus(Qt::TabFocusReason);
        type(c.key);
        EXPECT_DOUBLE_EQ(form->windowOpacity(), c.position / 255.0) << c.key;
        EXPECT_EQ(focused(), keyBoard()) << c.key;
    }
    EXPECT_EQ(service.messages.size(), 2u);
}

}  // namespace
}  // namespace velune
