// The instrument selector Combo1 on a real main window: picks from the open list, the lock that
// keys set, Enter and scrolling the list.

#include "main_window/instrument_selector.h"

#include <QAbstractItemView>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyleOptionComboBox>

#include "form_fixture.h"

namespace velune {
namespace {

using testing::shortMessage;
using Messages = std::vector<std::uint32_t>;

Messages instrument(int program) {
    return {shortMessage(0xB0, 0, 0), shortMessage(0xC0, program, 0)};
}

struct InstrumentSelectorTest : testing::FormFixture {
    InstrumentSelector* combo = nullptr;
    void SetUp() override {
        FormFixture::SetUp();
        combo = find<InstrumentSelector>("Combo1");
    }
    void TearDown() override { combo->hidePopup(); }

    void tabToSelector() {
        keyBoard()->setFocus();
        type(Qt::Key_Tab);
        ASSERT_EQ(focused(), combo);
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
    // A click on the item, or Home, Down to it and Enter, in the open list.
    void pick(int item, bool byMouse) {
        openList();
        QAbstractItemView* list = combo->view();
        if (byMouse) {
            const QModelIndex index = list->model()->index(item, 0);
            list->scrollTo(index);
            const QPoint center = list->visualRect(index).center();
            // The pointer travels to the item; Qt drops a move to where it already is.
            QTest::mouseMove(list->viewport(), center + QPoint(0, 1));
            QTest::mouseMove(list->viewport(), center);
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, center);
        } else {
            QTest::keyClick(list, Qt::Key_Home);
            for (int i = 0; i < item; ++i) QTest::keyClick(list, Qt::Key_Down);
            QTest::keyClick(list, Qt::Key_Return);
        }
    }
    bool listOpen() const { return combo->view()->isVisible(); }
    static void wheel(QWidget* widget, int delta) {
        const QPoint at = widget->rect().center();
        QWheelEvent event(at, widget->mapToGlobal(at), {}, {0, delta}, Qt::NoButton, {},
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(widget, &event);
    }
};

TEST_F(InstrumentSelectorTest, PickFromTheListSendsTheInstrumentAndReturnsToKeyBoard) {
    EXPECT_EQ(combo->count(), 128);
    EXPECT_EQ(combo->currentText(), QString::fromUtf8("1-大钢琴"));
    for (const auto& [item, byMouse] :
         {std::pair{127, true}, {0, true}, {40, false}, {40, false}}) {
        SCOPED_TRACE(::testing::Message() << "item " << item << (byMouse ? " mouse" : " keys"));
        service.messages.clear();
        pick(item, byMouse);
        EXPECT_EQ(service.messages, instrument(item));
        EXPECT_TRUE(combo->currentText().startsWith(QString::number(item + 1) + '-'));
        EXPECT_FALSE(listOpen());
        EXPECT_EQ(focused(), keyBoard());
    }
}

// Every key is the first after a pick, so the lock must be in force before the key acts; the
// second press hits a selector already locked. A note key plays nothing here.
TEST_F(InstrumentSelectorTest, KeysOtherThanEnterLockAndChangeNothing) {
    const struct {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    } cases[] = {
        {"Up", Qt::Key_Up, {}},
        {"Page Down", Qt::Key_PageDown, {}},
        {"End", Qt::Key_End, {}},
        {"Ctrl+Down", Qt::Key_Down, Qt::ControlModifier},
        {"M", Qt::Key_M, {}},
        {"keypad digit", Qt::Key_3, Qt::KeypadModifier},
        {"Space", Qt::Key_Space, {}},
        {"Backspace", Qt::Key_Backspace, {}},
        {"paste", Qt::Key_V, Qt::ControlModifier},
    };
    QApplication::clipboard()->setText(QStringLiteral("pasted"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pick(60, true);
        service.messages.clear();
        tabToSelector();
        combo->lineEdit()->end(false);  // the caret after the text, where typing would append
        for (int press = 0; press < 2; ++press) {
            type(c.key, c.modifiers);
            EXPECT_EQ(combo->currentIndex(), 60);
            EXPECT_TRUE(combo->currentText().startsWith(QLatin1String("61-")));
            EXPECT_TRUE(combo->isLocked());
        }
        EXPECT_TRUE(service.messages.empty());
        EXPECT_EQ(focused(), combo);
    }
    QInputMethodEvent commit;
    commit.setCommitString(QString::fromUtf8("钢"));
    type(Qt::Key_Return);
    tabToSelector();
    ASSERT_FALSE(combo->isLocked());
    QApplication::sendEvent(combo, &commit);
    EXPECT_TRUE(combo->isLocked()) << "text from an input method is a key too";
    EXPECT_TRUE(combo->currentText().startsWith(QLatin1String("61-")));
}

TEST_F(InstrumentSelectorTest, EnterReturnsTheFocusToKeyBoardAndUnlocks) {
    for (const auto& [key, modifiers] : {std::pair{Qt::Key_Return, Qt::KeyboardModifiers{}},
                                         {Qt::Key_Enter, Qt::KeypadModifier},
                                         {Qt::Key_Return, Qt::ShiftModifier}}) {
        SCOPED_TRACE(::testing::Message() << key << " " << modifiers);
        tabToSelector();
        type(Qt::Key_K);
        ASSERT_TRUE(combo->isLocked());
        type(key, modifiers);
        EXPECT_FALSE(combo->isLocked());
        EXPECT_EQ(focused(), keyBoard());
        EXPECT_TRUE(service.messages.empty());
    }
}

TEST_F(InstrumentSelectorTest, LockedSelectorDropsDownButIgnoresAPick) {
    for (const bool byMouse : {true, false}) {
        SCOPED_TRACE(byMouse ? "mouse" : "keys");
        tabToSelector();
        type(Qt::Key_Down);
        ASSERT_TRUE(combo->isLocked());
        type(Qt::Key_F4);
        EXPECT_TRUE(listOpen());
        combo->hidePopup();
        pick(127, byMouse);
        EXPECT_TRUE(service.messages.empty());
        EXPECT_EQ(combo->currentIndex(), 0);
        EXPECT_TRUE(combo->isLocked());
        EXPECT_FALSE(listOpen());
        EXPECT_EQ(focused(), combo);
    }
}

// Scrolling the list unlocks; the list scrolling itself to the chosen item when it opens does
// not. The wheel over the closed selector changes nothing.
TEST_F(InstrumentSelectorTest, ScrollingTheListUnlocks) {
    pick(100, true);
    tabToSelector();
    type(Qt::Key_M);
    openList();
    QScrollBar* bar = combo->view()->verticalScrollBar();
    const int opened = bar->value();
    EXPECT_GT(opened, 0);
    EXPECT_TRUE(combo->isLocked());
    wheel(combo->view()->viewport(), 120);
    EXPECT_LT(bar->value(), opened);
    EXPECT_FALSE(combo->isLocked());
    combo->hidePopup();
    service.messages.clear();
    wheel(combo, -120);
    EXPECT_EQ(combo->currentIndex(), 100);
    EXPECT_TRUE(service.messages.empty());
}

}  // namespace
}  // namespace velune
