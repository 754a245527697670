#pragma once

// The stored design of the main window: places and sizes in twips (1440 per inch; Qt's
// device-independent pixels are twips / 15), texts, colours and fonts.

#include <array>
#include <cstdint>

namespace velune::layout {

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int px(int twips) { return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel; }

inline constexpr int kClientWidth = 10260;
inline constexpr int kClientHeight = 9075;
inline constexpr const char* kTitle = "Velunev1.0";

inline constexpr const char* kDigitsRow = "1    2    3    4    5    6    7";
inline constexpr const char* kDotsRow = ".     .     .     .     .     .     .";

enum class Color { HighlightText, Highlight, White, DesignRed };

struct Rect {
    int left, top, width, height;
};

struct LabelDesign {
    const char* name;
    Rect rect;
    const char* caption;
    Color color;
    const char* face;
    double points;
    bool bold;
};

// Labels in the order the window stores them; m1..m11 are the register rows.
inline constexpr std::array<LabelDesign, 16> kLabels{{
    {"Label1", {840, 360, 975, 375}, "音色:", Color::HighlightText, "宋体", 15.75, false},
    {"Label3", {5040, 360, 1455, 255}, "窗体透明度：", Color::White, "宋体", 12, false},
    {"Label4", {6000, 720, 1455, 255}, "按下F1键还原", Color::White, "宋体", 10.5, false},
    {"mx", {600, 1080, 495, 855}, "X", Color::Highlight, "Arial", 36, true},
    {"m1", {1680, 1320, 8055, 975}, kDotsRow, Color::White, "Arial", 36, true},
    {"m2", {1680, 1560, 8055, 975}, kDotsRow, Color::White, "Arial", 36, true},
    {"m3", {1560, 2280, 8055, 975}, kDigitsRow, Color::White, "Arial", 36, true},
    {"m4", {1680, 2760, 8055, 975}, kDotsRow, Color::White, "Arial", 36, true},
    {"m5", {1560, 3480, 8055, 975}, kDigitsRow, Color::White, "Arial", 36, true},
    {"m6", {1560, 4560, 8055, 975}, kDigitsRow, Color::DesignRed, "Arial", 36, true},
    {"m7", {1560, 5640, 8055, 975}, kDigitsRow, Color::White, "Arial", 36, true},
    {"m8", {1680, 6000, 8055, 975}, kDotsRow, Color::White, "Arial", 36, true},
    {"m9", {1560, 6960, 8055, 975}, kDigitsRow, Color::White, "Arial", 36, true},
    {"m11", {1680, 7320, 8055, 975}, kDotsRow, Color::White, "Arial", 36, true},
    {"m10", {1680, 7560, 8055, 975}, kDotsRow, Color::White, "Arial", 36, true},
    {"Label2", {9000, 8520, 855, 375}, "Velune", Color::HighlightText, "宋体", 14.25, true},
}};

inline constexpr Rect kKeyBoard{240, 2040, 975, 495};
inline constexpr Rect kCombo1{1920, 360, 2775, 300};
inline constexpr Rect kTouming{6480, 360, 1935, 255};
inline constexpr Rect kCommand1{8760, 360, 975, 375};
inline constexpr const char* kCommand1Caption = "帮助";
inline constexpr double kCommand1Points = 9;

}  // namespace velune::layout
