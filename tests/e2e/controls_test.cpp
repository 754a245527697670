// The controls beside the keyboard: the instrument list, the help dialog, the opacity bar. After
// each the keyboard must play at once.

#include <thread>

#include "offline_synth.h"
#include "scenario.h"

namespace velune::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using Controls = Scenario;

constexpr int kFlute = 73;  // "74-长笛": the list shows program numbers counted from 1

// The timbre of the note starting at `onset`, past its attack (a flute swells for 100 ms).
Timbre timbreAt(Recorder& recorder, std::size_t onset) {
    const std::size_t from = onset + samplesOf(150ms), to = from + samplesOf(300ms);
    recorder.waitFor(to, 5s);
    return timbreOf(removeDropouts(recorder.slice(from, to)).samples);
}

TEST_F(Controls, AnInstrumentPickedFromTheListPlaysAtOnce) {
    const ScreenRect client = x().clientRect(mainWindow());
    ASSERT_TRUE(x().pickFromList(client.x + kCombo1.x + kCombo1.width - 8,
                                 client.y + kCombo1.centerY(), kFlute))
        << "the list did not open and close";

    const std::vector<HeardNote> heard = listen(play({"m"}, 350ms, 500ms).front().mark, 700ms);
    ASSERT_EQ(heard.size(), 1u) << "the key after the pick:" << describe(heard);
    EXPECT_EQ(heard.front().midi, 60);
    EXPECT_EQ(nearestProgram(timbreAt(recorder(), heard.front().onset),
                             {0, kFlute - 1, kFlute, kFlute + 1}),
              kFlute)
        << "the note after the pick is not the flute's";
}

// E is held as the dialog opens and let go while the dialog has the keys: the octave comes back
// all the same.
TEST_F(Controls, TheHelpDialogTakesTheKeysUntilOkGivesThemBack) {
    x().key("e", true);
    std::this_thread::sleep_for(100ms);
    clickClient(mainWindow(), kCommand1);
    const std::optional<XWindow> dialog = x().waitForWindow(kBoxTitle, program().pid(), 5s);
    const bool active = dialog && x().waitUntilActive(*dialog, 5s);
    x().key("e", false);
    ASSERT_TRUE(dialog) << "no help dialog";
    ASSERT_TRUE(active) << "the help dialog is not active";
    EXPECT_FALSE(soundsAfter(play({"j"}).front().mark, 500ms))
        << "a key played through the help dialog";

    clickClient(*dialog, kOkLabel);
    ASSERT_TRUE(x().waitUntilGone(*dialog, 5s)) << "OK did not close the help dialog";
    EXPECT_TRUE(x().waitUntilActive(mainWindow(), 5s)) << "the main window is not active again";
    const std::vector<HeardNote> heard = listen(play({"m"}).front().mark);
    ASSERT_EQ(heard.size(), 1u) << "the first key after the help dialog:" << describe(heard);
    EXPECT_EQ(heard.front().midi, 60) << "E, let go in the help dialog, still shifts the octave";
}

TEST_F(Controls, TheOpacityBarFadesTheWindowAndF1RestoresIt) {
    const auto opacity = [&] {
        return x().cardinalProperty(mainWindow(), "_NET_WM_WINDOW_OPACITY").value_or(0xFFFFFFFFu);
    };
    const auto waitForChange = [&](std::uint32_t from) {
        const auto deadline = Clock::now() + 2s;
        while (opacity() == from && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
        return opacity();
    };
    ASSERT_EQ(opacity(), 0xFFFFFFFFu) << "not fully opaque at start";
    // The thumb starts at the right end: a click in the trough left of it steps towards clear.
    const std::uint32_t stepped = [&] {
        clickClient(mainWindow(), {kTouming.x + 20, kTouming.y, 1, kTouming.height});
        return waitForChange(0xFFFFFFFFu);
    }();
    EXPECT_LT(stepped, 0xFFFFFFFFu) << "the bar did not fade the window";
    EXPECT_GT(stepped, 0x80000000u) << "one step faded the window more than half";
    EXPECT_TRUE(keyPlays("j")) << "the first key after the bar played nothing";

    x().tap("F1");
    EXPECT_EQ(waitForChange(stepped), 0xFFFFFFFFu) << "F1 did not make the window fully opaque";
    EXPECT_TRUE(keyPlays("l")) << "the first key after F1 played nothing";
}

}  // namespace
}  // namespace velune::e2e
