#pragma once

// form1: the main window as it is stored (places and sizes in twips / 15), its start-up and
// shut-down, and the rule that keeps the keyboard focus on KeyBoard.

#include <QPointer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>

#include "midi/module1.h"
#include "performance/keyboard_performance.h"
#include "performance/performance_view.h"

class QLabel;
class QPushButton;
class QUrl;

namespace velune {

class Dialog;
class InstrumentSelector;
class KeyboardSurface;
class OpacityBar;

class Form1 : public QWidget, private PerformanceView {
public:
    explicit Form1(Module1& midi, QWidget* parent = nullptr);
    ~Form1() override;

    // The load step: device check (may end the program by throwing ProgramEnded), open the
    // port, reset the performance, full opacity. Runs before the window is first shown.
    void load();
    // Shows the window centred on its screen with the focus on KeyBoard.
    void showCentered();

    void ApplyOpacity(std::uint8_t alpha);

    KeyboardPerformance& performance() { return performance_; }
    // Where the help dialog's web link goes; tests replace it.
    void setUrlOpener(std::function<void(const QUrl&)> opener);

protected:
    void closeEvent(QCloseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    // PerformanceView
    void setRowColor(int row, std::uint32_t colorBgr) override;
    void setMarkerLeft(std::int16_t twips) override;
    void restoreOpacity() override;

    void buildLabels();
    void Command1_Click();
    void touming_Change();
    void touming_Scroll();
    void touming_KeyDown(std::int16_t keyCode, std::int16_t shift);
    void returnToKeyboard();

    Module1& midi_;
    KeyboardPerformance performance_;
    KeyboardSurface* KeyBoard = nullptr;
    InstrumentSelector* Combo1 = nullptr;
    OpacityBar* touming = nullptr;
    QPushButton* Command1 = nullptr;
    QLabel* mx = nullptr;
    std::array<QLabel*, 11> rows_{};  // m1 .. m11
    QPointer<Dialog> dialog_;
    std::function<void(const QUrl&)> urlOpener_;
    bool unloaded_ = false;
};

}  // namespace velune
