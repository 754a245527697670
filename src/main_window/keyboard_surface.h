#pragma once

#include <QWidget>

namespace velune {

class KeyboardPerformance;

// KeyBoard: the small black surface that holds the keyboard focus and plays. It draws nothing;
// its key events go to the keyboard performance as virtual-key codes. When it loses the focus,
// the releases of the keys held go elsewhere, so they count as released then.
class KeyboardSurface : public QWidget {
  public:
    KeyboardSurface(KeyboardPerformance& performance, QWidget* parent);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    KeyboardPerformance& performance_;
};

}  // namespace velune
