#pragma once

#include <cstdint>

namespace velune {

// Colours are 0x00BBGGRR.
inline constexpr std::uint32_t kRowRed = 225;          // written by the register keys
inline constexpr std::uint32_t kDesignRed = 255;       // m6 as the window is stored
inline constexpr std::uint32_t kRowWhite = 0xFFFFFF;

// What the keyboard performance drives on the main window.
class PerformanceView {
public:
    virtual ~PerformanceView() = default;
    // row is 1..11 for m1..m11.
    virtual void setRowColor(int row, std::uint32_t colorBgr) = 0;
    // The marker mx's Left, in twips.
    virtual void setMarkerLeft(std::int16_t twips) = 0;
    // F1: full opacity and the opacity bar at its right end.
    virtual void restoreOpacity() = 0;
};

}  // namespace velune
