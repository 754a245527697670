#pragma once

// Dialog: the non-modal help window. It keeps no data; every opening shows it as designed.

#include <QDialog>
#include <functional>

class QUrl;

namespace velune {

inline constexpr const char* kMakerUrl = "https://velune.example.org/";

class Dialog : public QDialog {
  public:
    using UrlOpener = std::function<void(const QUrl&)>;

    // returnToKeyboard shows and activates the main window and focuses KeyBoard.
    Dialog(std::function<void()> returnToKeyboard, UrlOpener opener, QWidget* parent);

    // The close step shared by the OK label and every way of closing the window.
    void CloseDialog();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void buildLabels();
    void Label9_Click();

    std::function<void()> returnToKeyboard_;
    UrlOpener opener_;
    bool closing_ = false;
};

}  // namespace velune
