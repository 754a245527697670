// The main window as a whole: how it looks, what happens without any sound output, and closing it.

#include <array>
#include <thread>

#include "scenario.h"

namespace velune::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The stored design in pixels (twips / 15).
constexpr int kClientWidth = 684;
constexpr int kClientHeight = 605;
constexpr int kRowLeft = 104;
constexpr int kRowWidth = 537;
constexpr int kRowHeight = 65;
constexpr int kMiddleRowTop = 304;                          // m6
constexpr std::array kOtherDigitRowTops{152, 232, 376, 464};  // m3, m5, m7, m9
constexpr ScreenRect kMarker{40, 72, 33, 57};                 // mx
constexpr ScreenRect kInstrumentCaption{56, 24, 65, 25};      // Label1 "音色:"
constexpr ScreenRect kOpacityCaption{336, 24, 97, 17};        // Label3 "窗体透明度："
constexpr const char* kNoDeviceText = "找不到相关设备！";

int brightness(Rgb c) { return (c.r + c.g + c.b) / 3; }
bool isRed(Rgb c) { return c.r > 160 && c.g < 90 && c.b < 90; }
bool isWhite(Rgb c) { return c.r > 200 && c.g > 200 && c.b > 200; }

// The columns of a band that hold matching pixels, grouped into glyphs (runs of columns with
// gaps of at least 4 empty columns between them).
template <typename Match>
std::vector<std::pair<int, int>> glyphColumns(const Screenshot& shot, ScreenRect band, Match match) {
    std::vector<std::pair<int, int>> glyphs;
    int lastInk = -100;
    for (int x = band.x; x < band.x + band.width; ++x) {
        bool ink = false;
        for (int y = band.y; y < band.y + band.height && !ink; ++y) ink = match(shot.at(x, y));
        if (!ink) continue;
        if (x - lastInk > 4) {
            glyphs.push_back({x, x + 1});
        } else {
            glyphs.back().second = x + 1;
        }
        lastInk = x;
    }
    return glyphs;
}

// A glyph of real text has strokes across its middle; the empty box drawn for a character the
// font lacks has ink only on its edges.
double inkInsideGlyph(const Screenshot& shot, int left, int right, ScreenRect band) {
    int top = band.y + band.height, bottom = band.y;
    for (int y = band.y; y < band.y + band.height; ++y) {
        for (int x = left; x < right; ++x) {
            if (brightness(shot.at(x, y)) > 128) {
                top = std::min(top, y);
                bottom = std::max(bottom, y + 1);
            }
        }
    }
    const int insetX = (right - left) / 5, insetY = (bottom - top) / 5;
    int ink = 0, area = 0;
    for (int y = top + insetY; y < bottom - insetY; ++y) {
        for (int x = left + insetX; x < right - insetX; ++x) {
            ++area;
            if (brightness(shot.at(x, y)) > 128) ++ink;
        }
    }
    return area > 0 ? static_cast<double>(ink) / area : 0;
}

void expectChineseText(const Screenshot& shot, ScreenRect caption, const char* what) {
    const auto glyphs = glyphColumns(shot, caption, [](Rgb c) { return brightness(c) > 128; });
    ASSERT_GE(glyphs.size(), 2u) << what << ": no text drawn";
    for (std::size_t i = 0; i < 2; ++i) {
        const auto [left, right] = glyphs[i];
        EXPECT_GE(right - left, 8) << what << ": character " << i << " is too narrow";
        EXPECT_GT(inkInsideGlyph(shot, left, right, caption), 0.08)
            << what << ": character " << i << " is an empty box, not a glyph";
    }
}

using Window = Scenario;

TEST_F(Window, LooksAsDesigned) {
    EXPECT_EQ(x().title(mainWindow()), kMainWindowTitle);
    const ScreenRect client = x().clientRect(mainWindow());
    EXPECT_EQ(client.width, kClientWidth);
    EXPECT_EQ(client.height, kClientHeight);
    EXPECT_FALSE(x().resizable(mainWindow())) << "the window can be resized";
    // Centred on the 1024 x 768 screen (the frame's title bar shifts it a little).
    EXPECT_NEAR(client.centerX(), 512, 24);
    EXPECT_NEAR(client.centerY(), 384, 24);

    const Screenshot shot = x().captureDrawn(mainWindow());
    ASSERT_EQ(shot.width(), kClientWidth);
    shot.savePng(rig().config().artifacts / "Window.LooksAsDesigned.png");

    // The middle row, and only it, is red: seven red digits.
    const ScreenRect middle{kRowLeft, kMiddleRowTop, kRowWidth, kRowHeight};
    EXPECT_EQ(glyphColumns(shot, middle, isRed).size(), 7u) << "the middle row is not seven red digits";
    int redElsewhere = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            const bool inMiddle = x >= middle.x && x < middle.x + middle.width && y >= middle.y &&
                                  y < middle.y + middle.height;
            if (!inMiddle && isRed(shot.at(x, y))) ++redElsewhere;
        }
    }
    EXPECT_EQ(redElsewhere, 0) << "red outside the middle row";
    // The other digit rows are white.
    for (int top : kOtherDigitRowTops) {
        const ScreenRect digits{kRowLeft, top + 8, kRowWidth, 40};
        EXPECT_EQ(glyphColumns(shot, digits, isWhite).size(), 7u) << "digit row at " << top;
    }
    // The marker X in the highlight colour, on the black window.
    EXPECT_FALSE(glyphColumns(shot, kMarker, [](Rgb c) { return c.b > 120 && c.b > c.r + 40; }).empty())
        << "no marker";
    EXPECT_EQ(brightness(shot.at(5, kClientHeight - 5)), 0) << "the window is not black";

    expectChineseText(shot, kInstrumentCaption, "音色:");
    expectChineseText(shot, kOpacityCaption, "窗体透明度：");
}

TEST_F(Window, ClosingItWhileANoteSoundsSilencesItAndEnds) {
    const std::vector<KeyStroke> stroke = play({"u"});
    ASSERT_TRUE(soundsAfter(stroke.front().mark)) << "the note did not sound";
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(soundingNow()) << "the note stopped before the window closed";
    const std::size_t closing = recorder().indexNow();

    x().tap("alt+F4");
    const std::optional<int> status = program().process().wait(10s);
    ASSERT_TRUE(status) << "the program did not end";
    EXPECT_EQ(*status, 0);
    const std::optional<std::size_t> silent = recorder().waitForSilence(closing, 300ms, 3s);
    ASSERT_TRUE(silent) << "still sounding after the window closed";
    EXPECT_LT(*silent - closing, static_cast<std::size_t>(kSampleRate)) << "the note rang on";
}

// Without any sound output the program says so in a box of its own and ends; its window never
// shows.
TEST(NoDevice, OnlyABoxSaysSoAndTheProgramEnds) {
    XSession& x = rig().x();
    Program program(rig(), /*withAudio=*/false);
    const auto neverMainWindow = [&] { return !x.findWindow(kMainWindowTitle, program.pid()); };

    const std::optional<XWindow> box = x.waitForWindow(kBoxTitle, program.pid(), 15s);
    ASSERT_TRUE(box) << "no box captioned " << kBoxTitle << "\n" << program.log();
    EXPECT_TRUE(neverMainWindow());
    for (XWindow window : x.clientWindows()) {
        if (x.processOf(window) == program.pid()) EXPECT_EQ(x.title(window), kBoxTitle);
    }
    ASSERT_TRUE(x.waitUntilActive(*box, 5s));

    // Read the message: select it with a triple click, as one would to copy it.
    const Screenshot shot = x.captureDrawn(*box);
    shot.savePng(rig().config().artifacts / "NoDevice.box.png");
    int top = shot.height(), bottom = 0, left = shot.width(), right = 0;
    for (int y = 0; y < shot.height() / 2; ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if (brightness(shot.at(x, y)) < 100) {
                top = std::min(top, y), bottom = std::max(bottom, y);
                left = std::min(left, x), right = std::max(right, x);
            }
        }
    }
    ASSERT_LT(top, bottom) << "the box shows no text";
    const ScreenRect client = x.clientRect(*box);
    x.multiClick(client.x + (left + right) / 2, client.y + (top + bottom) / 2, 3);
    EXPECT_EQ(x.primarySelection().value_or("(nothing selected)"), kNoDeviceText);

    x.tap("Return");
    const std::optional<int> status = program.process().wait(10s);
    ASSERT_TRUE(status) << "the program did not end after OK";
    // Any exit status tells the failure; a signal would be a crash.
    EXPECT_LT(*status, 128) << "the program crashed";
    EXPECT_TRUE(neverMainWindow());
}

}  // namespace
}  // namespace velune::e2e
