// The help dialog as a player meets it: its stored look, one dialog at a time, the way back to
// the keyboard after every kind of closing, the maker's link, and keys that must not close it.

#include "dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <QWindow>
#include <functional>
#include <memory>
#include <vector>

#include "form1.h"
#include "identity.h"
#include "recording_midi.h"

namespace velune {
namespace {

int argc = 1;
char arg0[] = "dialog_test";
char* argv[] = {arg0, nullptr};
// Set up as main() does. Never destroyed: torn down among the other statics at exit, after
// Qt's own, it crashes once mouse events have been sent.
QApplication& app() {
    static QApplication* instance = [] {
        auto* created = new QApplication(argc, argv);
        applyIdentity();
        return created;
    }();
    return *instance;
}

struct WithApplication {
    WithApplication() { app(); }
};

constexpr int kTwipsPerPixel = 15;

struct DialogTest : ::testing::Test, WithApplication {
    testing::RecordingService service;
    testing::RecordingUi ui;
    Module1 midi{service, ui};
    std::unique_ptr<Form1> form = std::make_unique<Form1>(midi);
    std::vector<QUrl> opened;

    void SetUp() override {
        form->setUrlOpener([this](const QUrl& url) { opened.push_back(url); });
        form->load();
        form->showCentered();
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        service.messages.clear();
    }

    QWidget* keyBoard() { return form->findChild<QWidget*>("KeyBoard"); }

    // Every help dialog alive, wherever it hangs.
    std::vector<QDialog*> dialogs() {
        std::vector<QDialog*> found;
        for (QWidget* widget : QApplication::allWidgets()) {
            if (auto* dialog = qobject_cast<QDialog*>(widget);
                dialog != nullptr && dialog->objectName() == QLatin1String("Dialog")) {
                found.push_back(dialog);
            }
        }
        return found;
    }

    QDialog* openHelp() {
        QTest::mouseClick(form->findChild<QPushButton*>("Command1"), Qt::LeftButton);
        const std::vector<QDialog*> open = dialogs();
        if (open.size() != 1) {
            ADD_FAILURE() << open.size() << " help dialogs after the help button";
            return nullptr;
        }
        // A dialog counts as active with its main window; wait for the dialog itself.
        QDialog* dialog = open.front();
        EXPECT_TRUE(QTest::qWaitFor([dialog] { return QApplication::activeWindow() == dialog; }));
        return dialog;
    }

    // Presses a key where the platform delivers it: the focus widget, or the active window.
    static void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWidget* target = QApplication::focusWidget();
        if (target == nullptr) target = QApplication::activeWindow();
        if (target == nullptr) {
            ADD_FAILURE() << "no window takes the keys";
            return;
        }
        QTest::keyClick(target, key, modifiers);
    }

    int noteOns() const {
        int count = 0;
        for (auto word : service.messages) count += (word & 0xF0) == 0x90;
        return count;
    }
};

struct DesignedLabel {
    const char* name;
    int left, top, width, height;  // twips
    const char* text;
    QColor color;  // invalid: the system's highlight-text colour
    double points;
    bool bold;
    bool underline;
    bool opaqueBlack;
};

const QColor kWhite(255, 255, 255);
const QColor kLightCyan(0xC0, 0xFF, 0xFF);  // stored as 0xFFFFC0, blue-green-red

// The stored design, top to bottom.
const DesignedLabel kDesign[] = {
    {"Label6", 240, 120, 1935, 255, "当前版本：Velunev1.0", kWhite, 9, false, false, false},
    {"Label5", 240, 480, 1575, 255, "具体玩法：", kWhite, 9, false, false, false},
    {"Label2", 240, 720, 4455, 375, "  \"E\" \"D\" \"S\" \"F\"分别控制高音、低音、倍高音和倍低音。",
     kWhite, 9, false, false, false},
    {"Label3", 240, 1080, 4455, 375, "  用小键盘来弹奏1 2 3 4 5 6 7，0是休止符，可以停止当前声音。",
     kWhite, 9, false, false, false},
    {"Label4", 240, 1440, 4455, 735,
     "  为了方便没有小键盘的笔记本电脑，可以使用\"M\" \"，（逗号键）\" \"。（句号键）\" "
     "\"J\" \"K\" \"L\" \"U\"，类似于小键盘的排列，空格是休止符，可以停止当前声音。",
     kWhite, 9, false, false, false},
    {"Label7", 240, 2400, 1335, 255, "Pelloway--Velune", kWhite, 9, false, false, false},
    {"Label8", 720, 2760, 855, 255, "Pelloway：", kWhite, 9, false, false, false},
    {"Label9", 1680, 2760, 1935, 255, "https://velune.example.org/", kLightCyan, 9, false, true,
     false},
    {"Label1", 2040, 3240, 1095, 615, "确定", QColor(), 24, true, false, true},
};

// Whether the label's caption, wrapped as the label wraps it, shows whole at this width.
bool showsWhole(const QLabel& label, int width) {
    const int wrap = label.wordWrap() ? Qt::TextWordWrap : 0;
    const QRect needed =
        QFontMetrics(label.font())
            .boundingRect(QRect(0, 0, width, 10 * label.height()), wrap, label.text());
    return needed.width() <= width && needed.height() <= label.height();
}

void expectStoredDesign(QDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Velune"));
    EXPECT_EQ(dialog.size(), QSize(5070 / kTwipsPerPixel, 4005 / kTwipsPerPixel));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()) << "the dialog must not resize";
    EXPECT_EQ(dialog.windowModality(), Qt::NonModal);
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    // A dialog that belongs to the main window gets no taskbar button of its own.
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_NE(dialog.parentWidget(), nullptr);
    EXPECT_EQ(dialog.windowIcon().availableSizes(), QList<QSize>{QSize(50, 60)});
    EXPECT_EQ(dialog.cursor().shape(), Qt::ArrowCursor);

    const QImage shot = dialog.grab().toImage();
    EXPECT_EQ(shot.pixelColor(4, shot.height() - 4), QColor(Qt::black)) << "black background";

    const QColor highlightText = QApplication::palette().color(QPalette::HighlightedText);
    for (const DesignedLabel& want : kDesign) {
        SCOPED_TRACE(want.name);
        auto* label = dialog.findChild<QLabel*>(want.name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), QString::fromUtf8(want.text));
        EXPECT_EQ(label->pos(), QPoint(want.left, want.top) / kTwipsPerPixel);
        EXPECT_EQ(label->height(), want.height / kTwipsPerPixel);
        // A caption that would lose text in its stored box may widen it, and only then.
        const int storedWidth = want.width / kTwipsPerPixel;
        if (label->width() != storedWidth) {
            EXPECT_GT(label->width(), storedWidth);
            EXPECT_FALSE(showsWhole(*label, storedWidth));
        }
        EXPECT_TRUE(label->alignment() & Qt::AlignLeft);
        EXPECT_TRUE(label->alignment() & Qt::AlignTop);

        const QColor ink = want.color.isValid() ? want.color : highlightText;
        EXPECT_EQ(label->palette().color(QPalette::WindowText), ink);
        EXPECT_EQ(label->font().family(), QStringLiteral("宋体"));
        EXPECT_EQ(label->font().pointSizeF(), want.points);
        EXPECT_EQ(label->font().bold(), want.bold);
        EXPECT_EQ(label->font().underline(), want.underline);
        EXPECT_EQ(label->autoFillBackground(), want.opaqueBlack);
        if (want.opaqueBlack) {
            EXPECT_EQ(label->palette().color(QPalette::Window), QColor(Qt::black));
        }
        EXPECT_EQ(label->cursor().shape(), want.underline ? Qt::CrossCursor : Qt::ArrowCursor);
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    }
}

TEST_F(DialogTest, OpensAsStored) {
    QDialog* dialog = openHelp();
    ASSERT_NE(dialog, nullptr);
    expectStoredDesign(*dialog);
    EXPECT_EQ(form->windowIcon().availableSizes(), QList<QSize>{QSize(50, 60)});
}

TEST_F(DialogTest, EveryCaptionShowsWhole) {
    QDialog* dialog = openHelp();
    ASSERT_NE(dialog, nullptr);
    const QList<QLabel*> labels = dialog->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 9);
    for (const DesignedLabel& want : kDesign) {
        SCOPED_TRACE(want.name);
        auto* label = dialog->findChild<QLabel*>(want.name);
        ASSERT_NE(label, nullptr);
        EXPECT_TRUE(showsWhole(*label, label->width()));
        EXPECT_TRUE(dialog->rect().contains(label->geometry()));
        // What a label gained in width must not cover its neighbours.
        QRect gained = label->geometry();
        gained.setLeft(label->x() + want.width / kTwipsPerPixel);
        for (QLabel* other : labels) {
            if (other != label && gained.isValid()) {
                EXPECT_FALSE(gained.intersects(other->geometry()))
                    << other->objectName().toStdString();
            }
        }
    }
}

TEST_F(DialogTest, HelpButtonNeverOpensASecondDialog) {
    QDialog* first = openHelp();
    ASSERT_NE(first, nullptr);
    for (int click = 0; click < 3; ++click) {
        SCOPED_TRACE(click);
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        EXPECT_EQ(openHelp(), first);
        EXPECT_TRUE(first->isVisible());
        EXPECT_EQ(QApplication::activeWindow(), first);
    }
}

TEST_F(DialogTest, MainWindowPlaysWhileTheDialogStaysOpen) {
    QPointer<QDialog> dialog = openHelp();
    ASSERT_FALSE(dialog.isNull());
    QApplication::setActiveWindow(form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    EXPECT_EQ(QApplication::focusWidget(), keyBoard());
    press(Qt::Key_M);
    EXPECT_EQ(noteOns(), 1);
    ASSERT_FALSE(dialog.isNull());
    EXPECT_TRUE(dialog->isVisible());
}

struct Closer {
    const char* how;
    std::function<void(QDialog&)> close;
};

TEST_F(DialogTest, EveryWayOfClosingReturnsToTheKeyboard) {
    const Closer closers[] = {
        {"OK label",
         [](QDialog& d) { QTest::mouseClick(d.findChild<QLabel*>("Label1"), Qt::LeftButton); }},
        {"close()", [](QDialog& d) { d.close(); }},
        {"title bar close", [](QDialog& d) { d.windowHandle()->close(); }},
    };
    for (const Closer& closer : closers) {
        SCOPED_TRACE(closer.how);
        QPointer<QDialog> dialog = openHelp();
        ASSERT_FALSE(dialog.isNull());
        // Every opening is a fresh dialog, exactly as designed.
        expectStoredDesign(*dialog);
        // Whatever held the focus in the main window, closing hands the keys to KeyBoard.
        form->findChild<QWidget*>("Command1")->setFocus();
        closer.close(*dialog);
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); })) << "dialog not destroyed";
        EXPECT_TRUE(dialogs().empty());
        EXPECT_EQ(QApplication::activeWindow(), form.get());
        EXPECT_EQ(QApplication::focusWidget(), keyBoard());

        const int before = noteOns();
        press(Qt::Key_M);
        EXPECT_EQ(noteOns(), before + 1) << "the next note key must play at once";
    }
}

TEST_F(DialogTest, LinkOpensTheMakerPageAndStaysOpen) {
    QPointer<QDialog> dialog = openHelp();
    ASSERT_FALSE(dialog.isNull());
    QWidget* focusBefore = QApplication::focusWidget();
    auto* link = dialog->findChild<QLabel*>("Label9");
    ASSERT_NE(link, nullptr);

    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(opened, std::vector<QUrl>{QUrl(QStringLiteral("https://velune.example.org/"))});
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(opened.size(), 2u) << "each click opens the page again";

    QApplication::processEvents();
    ASSERT_FALSE(dialog.isNull());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(QApplication::activeWindow(), dialog.data());
    EXPECT_EQ(QApplication::focusWidget(), focusBefore);
}

TEST_F(DialogTest, KeysNeitherCloseTheDialogNorPlay) {
    struct Key {
        const char* name;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    };
    const Key keys[] = {
        {"Escape", Qt::Key_Escape, Qt::NoModifier},
        {"Return", Qt::Key_Return, Qt::NoModifier},
        {"keypad Enter", Qt::Key_Enter, Qt::KeypadModifier},
        {"M", Qt::Key_M, Qt::NoModifier},
        {"Space", Qt::Key_Space, Qt::NoModifier},
    };
    QPointer<QDialog> dialog = openHelp();
    ASSERT_FALSE(dialog.isNull());
    for (const Key& key : keys) {
        SCOPED_TRACE(key.name);
        press(key.key, key.modifiers);
        QApplication::processEvents();
        ASSERT_FALSE(dialog.isNull());
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(QApplication::activeWindow(), dialog.data());
    }
    EXPECT_TRUE(service.messages.empty()) << "keys in the dialog reached the instrument";
}

// The picture every window shows: 50 x 60 pixels of opaque 24-bit colour.
TEST(IconTest, IsA50By60OpaqueColourPicture) {
    app();
    const QImage icon(QString::fromLatin1(kIconResource));
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.size(), QSize(50, 60));
    EXPECT_FALSE(icon.hasAlphaChannel());
    EXPECT_FALSE(icon.allGray());
    EXPECT_EQ(QApplication::windowIcon().availableSizes(), QList<QSize>{QSize(50, 60)});
}

}  // namespace
}  // namespace velune
