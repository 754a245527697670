#pragma once

// The stored design of the help dialog: places and sizes in twips (1440 per inch; Qt's
// device-independent pixels are twips / 15), captions, colours and fonts.

#include <array>

namespace velune::help_layout {

inline constexpr int kTwipsPerPixel = 15;
inline constexpr int px(int twips) { return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel; }

inline constexpr const char* kCaption = "Velune";
inline constexpr int kClientWidth = 5070;
inline constexpr int kClientHeight = 4005;

// The dialog's default font; the main window maps the face onto an installed Song font.
inline constexpr const char* kFace = "宋体";
inline constexpr double kPoints = 9;
inline constexpr double kOkPoints = 24;

enum class Role {
    Text,  // white on the black window
    Link,  // light cyan, underlined, the maker's web address; opens it when clicked
    Ok,    // large bold "确定" in the highlight-text colour on its own black box; closes
};

struct Rect {
    int left, top, width, height;
};

struct LabelDesign {
    const char* name;
    Rect rect;
    const char* caption;  // nullptr: the maker's web address
    Role role;
};

inline constexpr unsigned kWhiteBgr = 0xFFFFFF;
inline constexpr unsigned kLinkBgr = 0xFFFFC0;

// In the order the dialog stores them, top to bottom.
inline constexpr std::array<LabelDesign, 9> kLabels{{
    {"Label6", {240, 120, 1935, 255}, "当前版本：Velunev1.0", Role::Text},
    {"Label5", {240, 480, 1575, 255}, "具体玩法：", Role::Text},
    {"Label2",
     {240, 720, 4455, 375},
     "  \"E\" \"D\" \"S\" \"F\"分别控制高音、低音、倍高音和倍低音。",
     Role::Text},
    {"Label3",
     {240, 1080, 4455, 375},
     "  用小键盘来弹奏1 2 3 4 5 6 7，0是休止符，可以停止当前声音。",
     Role::Text},
    {"Label4",
     {240, 1440, 4455, 735},
     "  为了方便没有小键盘的笔记本电脑，可以使用\"M\" \"，（逗号键）\" \"。（句号键）\" \"J\" "
     "\"K\" \"L\" \"U\"，类似于小键盘的排列，空格是休止符，可以停止当前声音。",
     Role::Text},
    {"Label7", {240, 2400, 1335, 255}, "Pelloway--Velune", Role::Text},
    {"Label8", {720, 2760, 855, 255}, "Pelloway：", Role::Text},
    {"Label9", {1680, 2760, 1935, 255}, nullptr, Role::Link},
    {"Label1", {2040, 3240, 1095, 615}, "确定", Role::Ok},
}};

}  // namespace velune::help_layout
