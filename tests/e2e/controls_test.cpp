// The controls beside the keyboard: the instrument selector, the help dialog, the opacity bar.
// Each is worked with the mouse as a player would; afterwards the keyboard must play at once.

#include <algorithm>
#include <thread>

#include "offline_synth.h"
#include "scenario.h"

namespace velune::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Places in the main window's client area, in pixels (the stored design's twips / 15).
constexpr ScreenRect kCombo1{128, 24, 185, 20};
constexpr ScreenRect kTouming{432, 24, 129, 17};
constexpr ScreenRect kCommand1{584, 24, 65, 25};
// The help dialog's OK label, in the dialog's client area.
constexpr ScreenRect kOkLabel{136, 216, 73, 41};

constexpr int kFlute = 73;  // "74-长笛": the list shows program numbers counted from 1
constexpr int kMiddleC = 60;

std::size_t samples(std::chrono::milliseconds duration) {
    return static_cast<std::size_t>(duration.count()) * kSampleRate / 1000;
}

// The timbre of a note, from the part after its attack: a flute swells for about 100 ms.
HarmonicProfile profileOf(std::span<const float> sound, std::size_t onset) {
    return harmonicProfile(sound, onset + samples(100ms), samples(300ms), kMiddleC);
}

HarmonicProfile referenceProfile(int program) {
    const std::vector<float> sound = renderNote(program, kMiddleC, 0.8);
    const std::vector<std::size_t> onsets = detectOnsets(sound);
    return profileOf(sound, onsets.empty() ? 0 : onsets.front());
}

// The rows of an open drop-down list: the row under the pointer is highlighted.
struct ListRows {
    int top = 0;
    int height = 0;
};

bool highlighted(Rgb c) { return c.b > 120 && c.b > c.r + 60; }

std::optional<ListRows> hoveredRow(const Screenshot& list, int column) {
    std::optional<ListRows> row;
    for (int y = 0; y < list.height(); ++y) {
        if (!highlighted(list.at(column, y))) continue;
        if (!row) row = ListRows{y, 0};
        row->height = y + 1 - row->top;
    }
    return row;
}

class Controls : public Scenario {
protected:
    std::optional<XWindow> waitForPopup(std::chrono::milliseconds timeout = 3s) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            for (XWindow popup : x().popupWindows()) {
                if (x().clientRect(popup).width >= kCombo1.width / 2) return popup;
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

    std::optional<std::uint32_t> opacity() {
        return x().cardinalProperty(mainWindow(), "_NET_WM_WINDOW_OPACITY");
    }

    bool fullyOpaque() {
        const std::optional<std::uint32_t> value = opacity();
        return !value || *value == 0xFFFFFFFFu;
    }

    void saveScreenshot(XWindow window, const std::string& name) {
        x().capture(window).savePng(rig().config().artifacts / (name + ".png"));
    }
};

TEST_F(Controls, AnInstrumentPickedFromTheListPlaysAtOnce) {
    // The piano that plays at start, to compare with.
    const std::vector<KeyStroke> piano = play({"m"});
    const std::vector<HeardNote> pianoNotes = listen(piano.front().mark, 600ms);
    ASSERT_EQ(pianoNotes.size(), 1u) << describe(pianoNotes);
    const std::size_t pianoOnset = pianoNotes[0].onset;
    const HarmonicProfile pianoHeard =
        profileOf(recorded(pianoOnset, pianoOnset + samples(500ms)), 0);
    rest();

    // Drop the list down with the arrow, scroll it with the wheel, click the flute.
    clickClient(mainWindow(), kCombo1.x + kCombo1.width - 8, kCombo1.centerY());
    const std::optional<XWindow> list = waitForPopup();
    ASSERT_TRUE(list) << "the list did not drop down";
    const ScreenRect listRect = x().clientRect(*list);
    const int column = 30;
    x().moveMouse(listRect.x + column, listRect.y + 8);
    std::this_thread::sleep_for(200ms);
    const std::optional<ListRows> row = hoveredRow(x().capture(*list), column);
    if (!row) saveScreenshot(*list, "Controls.list");
    ASSERT_TRUE(row && row->height >= 8) << "no highlighted row under the pointer";
    // Three items a notch: 24 notches put item 72 at the top, the flute (item 73) below it.
    x().wheel(24);
    std::this_thread::sleep_for(300ms);
    x().click(listRect.x + column, listRect.y + row->top + row->height + row->height / 2);
    EXPECT_TRUE(x().waitUntilGone(*list, 3s)) << "the list stayed open";

    // The very next key plays, on the flute.
    const std::vector<KeyStroke> flute = play({"m"}, 350ms, 500ms);
    const std::vector<HeardNote> fluteNotes = listen(flute.front().mark, 700ms);
    ASSERT_FALSE(fluteNotes.empty()) << "the key after the pick played nothing";
    EXPECT_EQ(fluteNotes[0].midi, kMiddleC);
    const std::size_t fluteOnset = fluteNotes[0].onset;
    const HarmonicProfile fluteHeard = profileOf(recorded(fluteOnset, fluteOnset + samples(500ms)), 0);
    EXPECT_GT(profileDistance(pianoHeard, fluteHeard), kSameTimbreDb)
        << "the note after the pick sounds like the piano before it";

    // Which instrument it is: the nearest of the flute and its neighbours in the list.
    int nearest = -1;
    double nearestDistance = 1e9;
    for (int program : {0, kFlute - 1, kFlute, kFlute + 1}) {
        const double distance = profileDistance(fluteHeard, referenceProfile(program));
        std::cout << "program " << program << ": " << distance << " dB away\n";
        if (distance < nearestDistance) {
            nearestDistance = distance;
            nearest = program;
        }
    }
    EXPECT_EQ(nearest, kFlute) << "the pick did not give the flute";
}

enum class CloseBy { OkLabel, AltF4, CloseButton };

class HelpDialog : public Controls, public ::testing::WithParamInterface<CloseBy> {
protected:
    // The frame's close button: openbox draws it at the right end of the title bar.
    void clickCloseButton(XWindow dialog) {
        const ScreenRect client = x().clientRect(dialog);
        const ScreenRect frame = x().frameRect(dialog);
        const int titleHeight = client.y - frame.y;
        x().click(frame.x + frame.width - titleHeight / 2 - 1, frame.y + titleHeight / 2);
    }
};

TEST_P(HelpDialog, ClosingItGivesTheKeyboardBackAtOnce) {
    clickClient(mainWindow(), kCommand1.centerX(), kCommand1.centerY());
    const std::optional<XWindow> dialog = x().waitForWindow(kBoxTitle, program().pid(), 5s);
    ASSERT_TRUE(dialog) << "no help dialog";
    ASSERT_TRUE(x().waitUntilActive(*dialog, 5s)) << "the help dialog is not active";

    // While the dialog is active its keys are its own: no note.
    const std::vector<KeyStroke> muted = play({"j"});
    EXPECT_FALSE(soundsAfter(muted.front().mark, 500ms)) << "a key played through the help dialog";

    switch (GetParam()) {
        case CloseBy::OkLabel: clickClient(*dialog, kOkLabel.centerX(), kOkLabel.centerY()); break;
        case CloseBy::AltF4: x().tap("alt+F4"); break;
        case CloseBy::CloseButton: clickCloseButton(*dialog); break;
    }
    ASSERT_TRUE(x().waitUntilGone(*dialog, 5s)) << "the help dialog stayed open";
    EXPECT_TRUE(x().waitUntilActive(mainWindow(), 5s)) << "the main window is not active again";
    EXPECT_TRUE(keyPlays("k")) << "the first key after closing the help dialog played nothing";
}

INSTANTIATE_TEST_SUITE_P(Controls, HelpDialog,
                         ::testing::Values(CloseBy::OkLabel, CloseBy::AltF4, CloseBy::CloseButton),
                         [](const auto& info) {
                             switch (info.param) {
                                 case CloseBy::OkLabel: return "OkLabel";
                                 case CloseBy::AltF4: return "AltF4";
                                 case CloseBy::CloseButton: return "CloseButton";
                             }
                             return "";
                         });

// The thumb of the opacity bar: the brightest stretch between dark edges in its middle row.
std::optional<std::pair<int, int>> findThumb(const Screenshot& shot) {
    const int y = kTouming.centerY();
    std::optional<std::pair<int, int>> best;
    double bestBrightness = 0;
    int start = -1;
    double sum = 0;
    for (int x = kTouming.x; x < kTouming.x + kTouming.width; ++x) {
        const Rgb c = shot.at(x, y);
        const int brightness = (c.r + c.g + c.b) / 3;
        if (brightness < 110) {
            if (start >= 0 && x - start >= 6 && sum / (x - start) > bestBrightness) {
                bestBrightness = sum / (x - start);
                best = std::pair{start, x};
            }
            start = x + 1;
            sum = 0;
        } else if (start >= 0) {
            sum += brightness;
        }
    }
    return best;
}

TEST_F(Controls, DraggingTheOpacityBarFadesTheWindowAndF1RestoresIt) {
    EXPECT_TRUE(fullyOpaque()) << "not fully opaque at start";
    const Screenshot before = x().captureDrawn(mainWindow());
    const std::optional<std::pair<int, int>> thumb = findThumb(before);
    if (!thumb) saveScreenshot(mainWindow(), "Controls.opacity");
    ASSERT_TRUE(thumb) << "cannot find the thumb of the opacity bar";

    // Drag the thumb towards the other end of the bar, a few steps at a time.
    const ScreenRect client = x().clientRect(mainWindow());
    const int grab = (thumb->first + thumb->second) / 2;
    const bool towardsLeft = grab > kTouming.centerX();
    const int y = client.y + kTouming.centerY();
    x().moveMouse(client.x + grab, y);
    x().mouseDown();
    std::vector<std::uint32_t> seen;
    std::optional<std::uint32_t> last = opacity();
    for (int step = 1; step <= 4; ++step) {
        const int offset = step * (kTouming.width / 2 - 20) / 4;
        x().moveMouse(client.x + grab + (towardsLeft ? -offset : offset), y);
        const auto deadline = Clock::now() + 2s;
        while (opacity() == last && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
        last = opacity();
        seen.push_back(last.value_or(0xFFFFFFFFu));
    }
    x().mouseUp();
    ASSERT_EQ(seen.size(), 4u);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        if (towardsLeft) {
            EXPECT_LT(seen[i], seen[i - 1]) << "the opacity did not follow the thumb at step " << i;
        } else {
            EXPECT_GT(seen[i], seen[i - 1]) << "the opacity did not follow the thumb at step " << i;
        }
    }
    // About half way along the bar, about half opaque.
    EXPECT_GT(seen.back(), 0x20000000u);
    EXPECT_LT(seen.back(), 0xE0000000u);
    EXPECT_TRUE(keyPlays("j")) << "the first key after the drag played nothing";

    x().tap("F1");
    const auto deadline = Clock::now() + 2s;
    while (!fullyOpaque() && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(fullyOpaque()) << "F1 did not make the window fully opaque";
    EXPECT_TRUE(keyPlays("l")) << "the first key after F1 played nothing";
}

}  // namespace
}  // namespace velune::e2e
