// The instrument selector Combo1 on a real main window: the list, picks from the open list, the
// lock that keys set, Enter and scrolling the list.

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyleOptionComboBox>
#include <QStyleOptionSlider>
#include <QTest>

#include <array>
#include <vector>

#include "form1.h"
#include "instrument_selector.h"
#include "module1.h"
#include "qt_app.h"
#include "recording_midi.h"

namespace velune {
namespace {

using testing::application;
using testing::RecordingService;
using testing::RecordingUi;
using testing::shortMessage;

// The General MIDI names in program order, without their numbers: the list shows them as
// "<program + 1>-<name>".
const std::array<const char*, 128> kExpectedNames{{
    // 1..8
    "大钢琴", "明亮的钢琴", "电钢琴", "酒吧钢琴", "柔和的钢琴", "加合唱效果的钢琴",
    "羽管键琴（拨弦古钢琴）", "科拉维科特琴（击弦古钢琴）",
    // 9..16
    "钢琴片", "钟琴", "八音盒", "颤音琴", "马林巴", "木琴", "管钟", "大扬琴",
    // 17..24
    "击杆风琴", "打击风琴", "摇滚风琴", "教堂风琴", "黄管风琴", "手风琴", "口琴", "探戈手风琴",
    // 25..32
    "尼龙弦吉他", "钢弦吉他", "爵士电吉他", "清音电吉他", "压制电吉他", "加过载效果的电吉他",
    "加失真效果的电吉他", "吉他和音",
    // 33..40
    "大贝司", "电贝司（指弹）", "电贝司（拨片）", "无品贝司", "掌击贝司1", "掌击贝司2",
    "合成贝司1", "合成贝司2",
    // 41..48
    "小提琴", "中提琴", "大提琴", "低音大提琴", "弦乐群颤音音色", "弦乐群拨弦音色", "竖琴",
    "定音鼓",
    // 49..56
    "弦乐合奏音色1", "弦乐合奏音色2", "合成弦乐合奏音色1", "合成弦乐合奏音色2", "仿人声“啊”",
    "仿人声“嘟”", "合成人声", "管弦乐敲击齐奏",
    // 57..64
    "小号", "长号", "大号", "加弱音器小号", "法国号（圆号）", "铜管组", "合成铜管音色1",
    "合成铜管音色2",
    // 65..72
    "高音萨克斯风", "次中音萨克斯风", "中音萨克斯风", "低音萨克斯风", "双簧管", "英国管",
    "巴松（大管）", "单簧管（黑管）",
    // 73..80
    "短笛", "长笛", "竖笛", "排箫", "Bottle Blow", "日本八尺", "口哨", "奥卡雷纳",
    // 81..88
    "合成主音1（方波）", "合成主音2（锯齿波）", "合成主音3", "合成主音4", "合成主音5",
    "合成主音6（人声）", "合成主音7（平行五度）", "合成主音8（贝斯加主管）",
    // 89..96
    "合成音色1（新世纪）", "合成音色2（温暖）", "合成音色3", "合成音色4（合唱）", "合成音色5",
    "合成音色6（金属声）", "合成音色7（光环）", "合成音色8",
    // 97..104
    "合成效果1（雨声）", "合成效果2（音轨）", "合成效果3（水晶）", "合成效果4（大气）",
    "合成效果5（明亮）", "合成效果6（鬼怪）", "合成效果7（回声）", "合成效果8（科幻）",
    // 105..112
    "西塔尔（印度）", "班卓琴（美洲）", "三昧线（日本）", "十三弦琴（日本）", "卡林巴", "风笛",
    "名族提琴", "山奈",
    // 113..120
    "叮当响", "Agogo", "铜鼓", "木鱼", "太鼓", "通通鼓", "合称鼓", "铜钹",
    // 121..128
    "吉他换把杂音", "呼吸声", "海浪声", "鸟鸣声", "电话铃", "直升机", "鼓掌声", "枪声",
}};

QString expectedText(int item) {
    return QString::number(item + 1) + QLatin1Char('-') + QString::fromUtf8(kExpectedNames[item]);
}

std::vector<std::uint32_t> instrumentMessages(int program) {
    return {shortMessage(0xB0, 0, 0), shortMessage(0xC0, program, 0)};
}

class InstrumentSelectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { application(); }

    void SetUp() override {
        form.load();
        form.showCentered();
        QApplication::setActiveWindow(&form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        combo = form.findChild<InstrumentSelector*>(QStringLiteral("Combo1"));
        keyBoard = form.findChild<QWidget*>(QStringLiteral("KeyBoard"));
        ASSERT_NE(combo, nullptr);
        ASSERT_NE(keyBoard, nullptr);
        ASSERT_EQ(QApplication::focusWidget(), keyBoard);
        service.messages.clear();
    }

    void TearDown() override { combo->hidePopup(); }

    // A key pressed and released on the keyboard: each event goes to the widget that has the
    // focus at that moment.
    void type(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(form.windowHandle(), key, modifiers);
    }

    // Tab from KeyBoard, the first stop of the tab order.
    void tabToSelector() {
        keyBoard->setFocus();
        type(Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), combo);
    }

    // A click on the drop-down arrow, as the user opens the list.
    void openList() {
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.editable = true;
        option.subControls = QStyle::SC_All;
        const QRect arrow = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                           QStyle::SC_ComboBoxArrow, combo);
        QTest::mouseClick(combo, Qt::LeftButton, {}, arrow.center());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(combo->view()->window()));
    }

    void clickItem(int item) {
        QAbstractItemView* list = combo->view();
        const QModelIndex index = list->model()->index(item, 0);
        list->scrollTo(index);
        const QPoint center = list->visualRect(index).center();
        // The pointer travels from the arrow to the item; Qt drops a move to where it already is.
        QTest::mouseMove(list->viewport(), center + QPoint(0, 1));
        QTest::mouseMove(list->viewport(), center);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, center);
    }

    // Home, Down to the item, Enter: the keyboard in the open list.
    void enterItem(int item) {
        QAbstractItemView* list = combo->view();
        QTest::keyClick(list, Qt::Key_Home);
        for (int i = 0; i < item; ++i) QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Return);
    }

    void pick(int item, bool byMouse) {
        openList();
        if (byMouse) {
            clickItem(item);
        } else {
            enterItem(item);
        }
    }

    bool listOpen() const { return combo->view()->isVisible(); }

    RecordingService service;
    RecordingUi ui;
    Module1 midi{service, ui};
    Form1 form{midi};
    InstrumentSelector* combo = nullptr;
    QWidget* keyBoard = nullptr;
};

TEST_F(InstrumentSelectorTest, ListsTheGeneralMidiInstrumentsInProgramOrder) {
    ASSERT_EQ(combo->count(), 128);
    for (int item = 0; item < 128; ++item) {
        EXPECT_EQ(combo->itemText(item), expectedText(item)) << "item " << item;
    }
    EXPECT_EQ(combo->currentText(), QString::fromUtf8("1-大钢琴"));
    EXPECT_EQ(combo->toolTip(), QString::fromUtf8("音色"));
    EXPECT_TRUE(combo->isEditable());
    EXPECT_FALSE(combo->isLocked());
    EXPECT_TRUE(service.messages.empty()) << "nothing is sent at start";
}

TEST_F(InstrumentSelectorTest, PickFromTheListSendsTheInstrumentAndReturnsToKeyBoard) {
    struct Case {
        int item;
        bool byMouse;
    };
    for (const Case& c : {Case{127, true}, Case{0, true}, Case{127, false}, Case{40, false}}) {
        SCOPED_TRACE(::testing::Message() << "item " << c.item << (c.byMouse ? " mouse" : " keys"));
        service.messages.clear();
        pick(c.item, c.byMouse);
        EXPECT_EQ(service.messages, instrumentMessages(c.item));
        EXPECT_EQ(combo->currentText(), expectedText(c.item));
        EXPECT_FALSE(listOpen());
        EXPECT_EQ(QApplication::focusWidget(), keyBoard);
    }
}

TEST_F(InstrumentSelectorTest, PickingTheChosenItemAgainSendsAgain) {
    pick(5, true);
    pick(5, true);
    const std::vector<std::uint32_t> once = instrumentMessages(5);
    std::vector<std::uint32_t> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(service.messages, twice);
}

TEST_F(InstrumentSelectorTest, NoteKeyInTheSelectorPlaysNothingLocksAndKeepsTheFocus) {
    tabToSelector();
    type(Qt::Key_M);
    EXPECT_TRUE(service.messages.empty());
    EXPECT_TRUE(combo->isLocked());
    EXPECT_EQ(QApplication::focusWidget(), combo);
    EXPECT_EQ(combo->currentText(), QString::fromUtf8("1-大钢琴"));
}

// Every row is the first key after a pick, so the lock must be in force before the key acts;
// the second press hits a selector that is already locked.
TEST_F(InstrumentSelectorTest, KeysOtherThanEnterChangeNeitherItemNorText) {
    struct Case {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };
    const Case cases[] = {
        {"Up", Qt::Key_Up, {}},
        {"Down", Qt::Key_Down, {}},
        {"Page Up", Qt::Key_PageUp, {}},
        {"Page Down", Qt::Key_PageDown, {}},
        {"Home", Qt::Key_Home, {}},
        {"End", Qt::Key_End, {}},
        {"Ctrl+Up", Qt::Key_Up, Qt::ControlModifier},
        {"Ctrl+Down", Qt::Key_Down, Qt::ControlModifier},
        {"letter", Qt::Key_A, {}},
        {"digit", Qt::Key_7, {}},
        {"keypad digit", Qt::Key_3, Qt::KeypadModifier},
        {"Space", Qt::Key_Space, {}},
        {"Backspace", Qt::Key_Backspace, {}},
        {"Delete", Qt::Key_Delete, {}},
        {"paste", Qt::Key_V, Qt::ControlModifier},
        {"cut", Qt::Key_X, Qt::ControlModifier},
        {"undo", Qt::Key_Z, Qt::ControlModifier},
        {"Escape", Qt::Key_Escape, {}},
    };
    QApplication::clipboard()->setText(QStringLiteral("pasted"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pick(60, true);
        service.messages.clear();
        tabToSelector();
        combo->lineEdit()->end(false);  // the caret after the text, where typing would append
        for (int press = 0; press < 2; ++press) {
            type(c.key, c.modifiers);
            EXPECT_EQ(combo->currentIndex(), 60);
            EXPECT_EQ(combo->currentText(), expectedText(60));
            EXPECT_TRUE(combo->isLocked());
        }
        EXPECT_TRUE(service.messages.empty());
        EXPECT_EQ(QApplication::focusWidget(), combo);
    }
}

TEST_F(InstrumentSelectorTest, TextFromAnInputMethodLocksAndIsDropped) {
    tabToSelector();
    QInputMethodEvent commit;
    commit.setCommitString(QString::fromUtf8("钢"));
    QApplication::sendEvent(combo, &commit);
    EXPECT_TRUE(combo->isLocked());
    EXPECT_EQ(combo->currentText(), QString::fromUtf8("1-大钢琴"));
}

TEST_F(InstrumentSelectorTest, EnterReturnsTheFocusToKeyBoardAndUnlocks) {
    struct Case {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };
    const Case cases[] = {
        {"Return", Qt::Key_Return, {}},
        {"keypad Enter", Qt::Key_Enter, Qt::KeypadModifier},
        {"Shift+Return", Qt::Key_Return, Qt::ShiftModifier},
        {"Ctrl+Return", Qt::Key_Return, Qt::ControlModifier},
        {"Alt+Return", Qt::Key_Return, Qt::AltModifier},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tabToSelector();
        type(Qt::Key_K);
        ASSERT_TRUE(combo->isLocked());
        type(c.key, c.modifiers);
        EXPECT_FALSE(combo->isLocked());
        EXPECT_EQ(QApplication::focusWidget(), keyBoard);
        EXPECT_TRUE(service.messages.empty());
        EXPECT_EQ(combo->currentText(), QString::fromUtf8("1-大钢琴"));
    }
}

TEST_F(InstrumentSelectorTest, TabMovesOnWithoutLocking) {
    tabToSelector();
    type(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form.findChild<QWidget*>(QStringLiteral("touming")));
    EXPECT_FALSE(combo->isLocked());
}

TEST_F(InstrumentSelectorTest, LockedSelectorIgnoresAPickFromTheList) {
    for (const bool byMouse : {true, false}) {
        SCOPED_TRACE(byMouse ? "mouse" : "keys");
        tabToSelector();
        type(Qt::Key_Down);
        ASSERT_TRUE(combo->isLocked());
        pick(127, byMouse);
        EXPECT_TRUE(service.messages.empty());
        EXPECT_EQ(combo->currentIndex(), 0);
        EXPECT_EQ(combo->currentText(), QString::fromUtf8("1-大钢琴"));
        EXPECT_TRUE(combo->isLocked());
        EXPECT_FALSE(listOpen());
        EXPECT_EQ(QApplication::focusWidget(), combo);
    }
}

TEST_F(InstrumentSelectorTest, LockedSelectorStillDropsDownFromTheKeyboard) {
    for (const auto modifiers : {Qt::KeyboardModifiers{}, Qt::KeyboardModifiers{Qt::AltModifier}}) {
        const Qt::Key key = modifiers ? Qt::Key_Down : Qt::Key_F4;
        SCOPED_TRACE(modifiers ? "Alt+Down" : "F4");
        tabToSelector();
        type(key, modifiers);
        EXPECT_TRUE(listOpen());
        EXPECT_TRUE(combo->isLocked());
        combo->hidePopup();
        type(key, modifiers);
        EXPECT_TRUE(listOpen());
        combo->hidePopup();
        EXPECT_EQ(combo->currentIndex(), 0);
    }
}

TEST_F(InstrumentSelectorTest, ScrollingTheListUnlocks) {
    enum class How { Wheel, ArrowClick };
    for (const How how : {How::Wheel, How::ArrowClick}) {
        SCOPED_TRACE(how == How::Wheel ? "wheel" : "arrow click");
        tabToSelector();
        type(Qt::Key_M);
        ASSERT_TRUE(combo->isLocked());
        openList();
        QAbstractItemView* list = combo->view();
        QScrollBar* bar = list->verticalScrollBar();
        const int top = bar->value();
        if (how == How::Wheel) {
            const QPoint at = list->viewport()->rect().center();
            QWheelEvent wheel(at, list->viewport()->mapToGlobal(at), {}, {0, -120},
                              Qt::NoButton, {}, Qt::NoScrollPhase, false);
            QApplication::sendEvent(list->viewport(), &wheel);
        } else {
            ASSERT_TRUE(bar->isVisible());
            QStyleOptionSlider option;
            option.initFrom(bar);
            option.orientation = Qt::Vertical;
            option.minimum = bar->minimum();
            option.maximum = bar->maximum();
            option.sliderPosition = bar->value();
            option.sliderValue = bar->value();
            option.singleStep = bar->singleStep();
            option.pageStep = bar->pageStep();
            option.subControls = QStyle::SC_All;
            const QRect down = bar->style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                            QStyle::SC_ScrollBarAddLine, bar);
            QTest::mouseClick(bar, Qt::LeftButton, {}, down.center());
        }
        EXPECT_GT(bar->value(), top);
        EXPECT_FALSE(combo->isLocked());
        EXPECT_TRUE(service.messages.empty());
        // Unlocked, the list takes a pick again.
        clickItem(10);
        EXPECT_EQ(service.messages, instrumentMessages(10));
        service.messages.clear();
    }
}

TEST_F(InstrumentSelectorTest, OpeningTheListScrolledToTheChosenItemKeepsTheLock) {
    pick(127, true);
    tabToSelector();
    type(Qt::Key_M);
    openList();
    EXPECT_GT(combo->view()->verticalScrollBar()->value(), 0);
    EXPECT_TRUE(combo->isLocked());
}

TEST_F(InstrumentSelectorTest, WheelOverTheClosedSelectorChangesNothing) {
    const QPoint at = combo->rect().center();
    QWheelEvent wheel(at, combo->mapToGlobal(at), {}, {0, -120}, Qt::NoButton, {},
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(combo, &wheel);
    EXPECT_EQ(combo->currentIndex(), 0);
    EXPECT_TRUE(service.messages.empty());
    EXPECT_EQ(QApplication::focusWidget(), keyBoard);
}

}  // namespace
}  // namespace velune
