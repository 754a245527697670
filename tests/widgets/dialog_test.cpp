// The help dialog as a player meets it: its look, one dialog at a time, the way back to the
// keyboard after every kind of closing, the maker's link, and keys that must not close it.

#include "help_dialog/dialog.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QWindow>

#include "form_fixture.h"

namespace velune {
namespace {

struct DialogTest : testing::FormFixture {
    std::vector<QUrl> opened;

    void SetUp() override {
        form->setUrlOpener([this](const QUrl& url) { opened.push_back(url); });
        FormFixture::SetUp();
    }
    std::vector<Dialog*> dialogs() const {
        std::vector<Dialog*> found;
        for (QWidget* widget : QApplication::allWidgets()) {
            if (auto* dialog = dynamic_cast<Dialog*>(widget)) found.push_back(dialog);
        }
        return found;
    }
    Dialog* openHelp() {
        QTest::mouseClick(find("Command1"), Qt::LeftButton);
        const std::vector<Dialog*> open = dialogs();
        if (open.size() != 1) {
            ADD_FAILURE() << open.size() << " help dialogs after the help button";
            return nullptr;
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == open.front(); }));
        return open.front();
    }
};

// A few facts a reader sees, not the stored table again: fixed, black, owned by the main
// window, the program's picture, the link underlined in light cyan, and every caption whole.
TEST_F(DialogTest, OpensAsDesigned) {
    Dialog* dialog = openHelp();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Velune"));
    EXPECT_EQ(dialog->size(), QSize(338, 267));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    EXPECT_EQ(dialog->windowFlags() & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_EQ(dialog->parentWidget(), form.get()) << "no taskbar button of its own";
    EXPECT_EQ(dialog->windowIcon().availableSizes(), QList<QSize>{QSize(50, 60)});
    const QImage shot = dialog->grab().toImage();
    EXPECT_EQ(shot.pixelColor(4, shot.height() - 4), QColor(Qt::black));
    auto* link = dialog->findChild<QLabel*>("Label9");
    EXPECT_EQ(link->text(), QStringLiteral("https://velune.example.org/"));
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0xC0, 0xFF, 0xFF));
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::CrossCursor);
    const QList<QLabel*> labels = dialog->findChildren<QLabel*>();
    EXPECT_EQ(labels.size(), 9);
    for (QLabel* label : labels) {
        SCOPED_TRACE(label->objectName().toStdString());
        const QRect needed = QFontMetrics(label->font())
                                 .boundingRect(QRect(0, 0, label->width(), 10 * label->height()),
                                               Qt::TextWordWrap, label->text());
        EXPECT_LE(needed.width(), label->width());
        EXPECT_LE(needed.height(), label->height());
        EXPECT_TRUE(dialog->rect().contains(label->geometry()));
    }
}

// One dialog at a time; whatever held the focus in the main window, closing hands the keys
// to KeyBoard, once.
TEST_F(DialogTest, EveryWayOfClosingReturnsToTheKeyboard) {
    const std::pair<const char*, void (*)(Dialog&)> closers[] = {
        {"OK label",
         [](Dialog& d) { QTest::mouseClick(d.findChild<QLabel*>("Label1"), Qt::LeftButton); }},
        {"close()", [](Dialog& d) { d.close(); }},
        {"title bar close", [](Dialog& d) { d.windowHandle()->close(); }},
    };
    for (const auto& [how, close] : closers) {
        SCOPED_TRACE(how);
        QPointer<Dialog> dialog = openHelp();
        ASSERT_FALSE(dialog.isNull());
        // The main window plays while the dialog is open; the help button shows the same one.
        QApplication::setActiveWindow(form.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        EXPECT_EQ(openHelp(), dialog.data());
        find("Command1")->setFocus();
        close(*dialog);
        EXPECT_TRUE(QTest::qWaitFor([&] { return dialog.isNull(); })) << "dialog not destroyed";
        EXPECT_EQ(QApplication::activeWindow(), form.get());
        EXPECT_EQ(focused(), keyBoard());
        const int before = noteOns();
        type(Qt::Key_M);
        EXPECT_EQ(noteOns(), before + 1) << "the next note key must play at once";
    }
    int returns = 0;
    Dialog alone([&] { ++returns; }, [](const QUrl&) {}, nullptr);
    alone.show();
    QTest::mouseClick(alone.findChild<QLabel*>("Label1"), Qt::LeftButton);
    EXPECT_EQ(returns, 1) << "the closing step runs once, not again from the close event";
}

TEST_F(DialogTest, LinkOpensTheMakerPageAtEachClickAndKeysDoNotClose) {
    QPointer<Dialog> dialog = openHelp();
    ASSERT_FALSE(dialog.isNull());
    auto* link = dialog->findChild<QLabel*>("Label9");
    QTest::mouseClick(link, Qt::LeftButton);
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(opened, std::vector<QUrl>(2, QUrl(QStringLiteral("https://velune.example.org/"))));
    for (const auto& [key, modifiers] : {std::pair{Qt::Key_Escape, Qt::KeyboardModifiers{}},
                                         {Qt::Key_Return, Qt::KeyboardModifiers{}},
                                         {Qt::Key_Enter, Qt::KeypadModifier},
                                         {Qt::Key_M, Qt::KeyboardModifiers{}}}) {
        type(key, modifiers);
        QApplication::processEvents();
        ASSERT_FALSE(dialog.isNull());
        EXPECT_TRUE(dialog->isVisible()) << key;
        EXPECT_EQ(QApplication::activeWindow(), dialog.data());
    }
    EXPECT_TRUE(service.messages.empty()) << "keys in the dialog reached the instrument";
}

}  // namespace
}  // namespace velune
