// Playing on sinks like the players' own, not the rig's kind null sink: a tunnel that cannot
// rewind (as Bluetooth and network sinks cannot), the cards' rates, a sink that suspends when
// idle, a switch to another sink in the middle of a phrase, a server that hangs for seconds.
// The notes must all be heard at their pitch, without a dropout, and the window must answer
// whatever the server does.

#include <span>
#include <thread>

#include "scenario.h"

namespace velune::e2e {
namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kScaleKeys{"m",    "comma", "period", "j",    "k",
                                          "l",    "u",     "KP_1",   "KP_2", "KP_3",
                                          "KP_4", "KP_5",  "KP_6",   "KP_7"};
const std::vector<int> kScale{60, 62, 64, 65, 67, 69, 71, 60, 62, 64, 65, 67, 69, 71};
// A tunnel passes the latency its client asks for on to its stream at the far end (at rest it
// holds 130-200 ms, pactl list sinks says): a program that asks for much sounds that much later,
// as through a network speaker.
constexpr auto kLatestOnTunnel = 500ms;
constexpr auto kSpacing = 350ms;

// Where the first few dropouts lie, in ms from `from`, and how long each was.
std::string where(const std::vector<Dropout>& dropouts, std::size_t from) {
    constexpr std::size_t kShown = 8;
    std::string text;
    for (const Dropout& dropout : std::span(dropouts).first(std::min(dropouts.size(), kShown))) {
        text += " " + std::to_string((dropout.begin - from) * 1000 / kSampleRate) + " ms (" +
                std::to_string((dropout.end - dropout.begin) * 1000 / kSampleRate) + " ms)";
    }
    return dropouts.size() > kShown ? text + " ..." : text;
}

// A test on a sink of its own; the rig's own sink comes back after it.
class OnSink : public Scenario {
  protected:
    virtual SinkKind sink() const = 0;
    void SetUp() override {
        if (sink() != SinkKind::Null && theRig().config().server != ServerKind::PulseAudio)
            GTEST_SKIP() << "the " << nameOf(sink()) << " sink is made on PulseAudio only";
        theRig().useSink(sink());
        Scenario::SetUp();
    }
    void TearDown() override {
        if (IsSkipped()) return;
        Scenario::TearDown();
        theRig().useSink(sinkFromEnvironment());
    }
};

class Sinks : public OnSink, public ::testing::WithParamInterface<SinkKind> {
  protected:
    SinkKind sink() const override { return GetParam(); }
};

TEST_P(Sinks, TheScalePlaysEveryNoteWithoutADropout) {
    x().ensureNumLock();
    if (GetParam() == SinkKind::SuspendOnIdle) {
        // The phrase starts on a sink asleep: the program pauses its stream after a while at
        // rest, and the sink suspends a second later.
        const auto deadline = Clock::now() + 20s;
        while (!theRig().audio().sinkSuspended() && Clock::now() < deadline)
            std::this_thread::sleep_for(200ms);
        ASSERT_TRUE(theRig().audio().sinkSuspended())
            << "the sink did not suspend: the program kept its stream playing at rest";
    }
    const std::vector<KeyStroke> strokes = play(kScaleKeys, kSpacing);
    expectNotes(strokes, kScale, GetParam() == SinkKind::Tunnel ? kLatestOnTunnel : 300ms);
    const std::size_t end = strokes.back().mark + samplesOf(kSpacing);
    recorder().waitFor(end, 5s);
    const std::vector<Dropout> dropouts = unexplainedDropouts(strokes.front().mark, end);
    EXPECT_TRUE(dropouts.empty()) << dropouts.size() << " dropouts in the phrase, at"
                                  << where(dropouts, strokes.front().mark);
}

INSTANTIATE_TEST_SUITE_P(Sinks, Sinks,
                         ::testing::Values(SinkKind::Tunnel, SinkKind::Card44k, SinkKind::Card48k,
                                           SinkKind::SuspendOnIdle),
                         [](const auto& info) { return std::string(nameOf(info.param)); });

class SinkSwitch : public OnSink {
  protected:
    SinkKind sink() const override { return SinkKind::TwoSinks; }
};

// Headphones plugged in mid-phrase: the program's stream moves to them and they become the
// default sink. The notes after the switch sound there, and none is lost on the way.
TEST_F(SinkSwitch, TheNotesAfterTheSwitchSoundOnTheNewSinkNoneLost) {
    // pactl lists the stream, moves it and sets the default, a process each: the move falls
    // somewhere between the two marks, later than the first by as long as a busy machine takes
    // to start a process or two.
    std::optional<std::size_t> switching, switched;
    std::thread plugIn([&] {
        std::this_thread::sleep_for(3 * kSpacing + kSpacing / 2);
        switching = recorder().indexNow();
        const bool moved = theRig().audio().switchSink();
        switched = recorder().indexNow();
        EXPECT_TRUE(moved) << "pactl did not move the stream";
    });
    const std::vector<std::string> keys(kScaleKeys.begin(), kScaleKeys.begin() + 7);
    const std::vector<KeyStroke> strokes = play(keys, kSpacing);
    plugIn.join();
    ASSERT_TRUE(switching && switched);
    // The server moves the stream from one sink to the other, and their monitors are recorded
    // apart: at the switch itself the sound may break once, nowhere else, and the seam of the
    // two recordings may sound as a strike of the note sounding on.
    const Seam seam{*switching - samplesOf(50ms), *switched + samplesOf(50ms)};
    expectNotes(strokes, {kScale.begin(), kScale.begin() + 7}, 300ms, 1, seam);

    const std::size_t end = strokes.back().mark + samplesOf(kSpacing);
    recorder().waitFor(end, 5s);
    const auto after = std::find_if(strokes.begin(), strokes.end(),
                                    [&](const KeyStroke& s) { return s.mark > *switched; });
    const std::vector<HeardNote> onNewSink = transcribe(recorder().sliceOf(1, after->mark, end));
    EXPECT_EQ(onNewSink.size(), static_cast<std::size_t>(strokes.end() - after))
        << "the notes after the switch, heard on the new sink:" << describe(onNewSink);
    EXPECT_TRUE(isSilent(recorder().sliceOf(0, *switched + samplesOf(300ms), end)))
        << "the old sink still sounds after the switch";
    const auto msOf = [&](std::size_t index) {
        return std::to_string((index - strokes.front().mark) * 1000 / kSampleRate);
    };
    for (const Dropout& dropout : unexplainedDropouts(strokes.front().mark, end)) {
        EXPECT_TRUE(dropout.end >= seam.begin && dropout.begin <= seam.end)
            << "a dropout away from the switch, at" << where({dropout}, strokes.front().mark)
            << "; the switch between " << msOf(*switching) << " and " << msOf(*switched) << " ms";
    }
}

// The audio server stops answering for 3 s while a note sounds (SIGSTOP, as a server stuck on a
// dead device or swapped out): keys and the help button answer at once all the same, and once
// the server goes on, the next key is heard without the program being started again.
class HungServer : public OnSink {
  protected:
    SinkKind sink() const override { return sinkFromEnvironment(); }
};

TEST_F(HungServer, FreezesNeitherTheWindowNorTheSoundAfterIt) {
    ASSERT_TRUE(keyPlays("m")) << "no sound before the server hung";
    theRig().audio().hang();
    const auto hung = Clock::now();
    struct Resume {
        ~Resume() { theRig().audio().resume(); }
    } resumeWhateverHappens;

    play({"j", "k"}, 150ms, 60ms);
    clickClient(mainWindow(), kCommand1);
    const std::optional<XWindow> dialog = x().waitForWindow(kBoxTitle, program().pid(), 1s);
    ASSERT_TRUE(dialog) << "the help dialog did not come up within 1 s of the click";
    ASSERT_TRUE(x().waitUntilActive(*dialog, 1s)) << "the help dialog did not take the keys";
    clickClient(*dialog, kOkLabel);
    ASSERT_TRUE(x().waitUntilGone(*dialog, 1s)) << "OK did not close the help dialog within 1 s";
    ASSERT_TRUE(x().waitUntilActive(mainWindow(), 1s)) << "the main window is not active again";
    ASSERT_LT(Clock::now() - hung, 3s) << "the window answered, but slower than the test needs";

    std::this_thread::sleep_until(hung + 3s);
    theRig().audio().resume();
    std::this_thread::sleep_for(500ms);
    const std::size_t pressed = play({"l"}).front().mark;
    const std::vector<HeardNote> heard = listen(pressed, 3s);
    ASSERT_FALSE(heard.empty()) << "no note within 3 s of a key after the server went on";
    EXPECT_EQ(heard.front().midi, 69) << "heard:" << describe(heard);
    EXPECT_LT(heard.front().onset - pressed, samplesOf(1s)) << "heard:" << describe(heard);
    EXPECT_FALSE(x().findWindow(kBoxTitle, program().pid())) << "a box came up";
    EXPECT_TRUE(program().process().running()) << "the program ended";
}

}  // namespace
}  // namespace velune::e2e
