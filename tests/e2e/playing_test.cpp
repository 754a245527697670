// Playing: real key presses on the real program, the notes heard from the audio server.

#include <signal.h>

#include <string>
#include <string_view>
#include <thread>

#include "scenario.h"

namespace velune::e2e {
namespace {

using Playing = Scenario;

// A note key struck while a register key is held (or none), and the note heard.
struct Stroke {
    const char* shift;
    const char* key;
    int pitch;
};

// How often the program's PipeWire output changed its quantum after a missed cycle.
std::size_t quantumChanges(const std::string& log) {
    constexpr std::string_view kChange = "missed a cycle: buffer";
    std::size_t changes = 0;
    for (std::size_t at = log.find(kChange); at != std::string::npos;
         at = log.find(kChange, at + kChange.size()))
        ++changes;
    return changes;
}

TEST_F(Playing, TheKeysPlayTheScaleInEveryRegister) {
    x().ensureNumLock();
    const std::vector<std::string> keys{"m",    "comma", "period", "j",    "k",    "l",    "u",
                                        "KP_1", "KP_2",  "KP_3",   "KP_4", "KP_5", "KP_6", "KP_7"};
    const std::vector<int> scale{60, 62, 64, 65, 67, 69, 71};
    std::vector<int> pitches = scale;
    pitches.insert(pitches.end(), scale.begin(), scale.end());
    // On PipeWire the quantum grows at the second missed cycle, and its change drops a cycle of
    // its own: two more notes may drop out for each growth (counted once the program's log has
    // caught up with the phrase).
    std::size_t changes = 0;
    const auto changesSince = [&](std::size_t before) {
        std::this_thread::sleep_for(500ms);
        changes = quantumChanges(program().log());
        return changes - before;
    };
    {
        // Both cores busy, as beside a build or a video call: every note is still heard, and the
        // buffer grows at a dropout (on PipeWire at the second), so that later notes play clean.
        const BusyCores load(2);
        const std::vector<KeyStroke> strokes = play(keys);
        expectNotes(strokes, pitches, 300ms, 1 + 2 * changesSince(0));
    }
    rest();

    // A register key held while a note key is struck, a rest after each (a note struck an octave
    // above one still ringing is hard to hear apart); the last in the middle register again.
    const std::vector<Stroke> registers{
        {"e", "m", 72}, {"s", "u", 95}, {"f", "m", 36}, {"d", "j", 53}, {"", "m", 60}};
    std::vector<KeyStroke> strokes;
    pitches.clear();
    for (const Stroke& stroke : registers) {
        if (*stroke.shift) x().key(stroke.shift, true);
        std::this_thread::sleep_for(60ms);
        strokes.push_back(play({stroke.key}).front());
        if (*stroke.shift) x().key(stroke.shift, false);
        std::this_thread::sleep_for(100ms);
        x().tap("space");
        std::this_thread::sleep_for(250ms);
        pitches.push_back(stroke.pitch);
    }
    expectNotes(strokes, pitches, 300ms, 2 * changesSince(changes));
}

TEST_F(Playing, AHeldKeyPlaysOneNoteUntilARest) {
    const std::size_t mark = recorder().indexNow();
    x().key("m", true);
    std::this_thread::sleep_for(900ms);  // the X server repeats the key from 660 ms on
    // Nothing but real-time threads runs for 12 ms, the audio server's main thread held up as by
    // busy cores: the note plays on without a click.
    const std::size_t beforeHoldUp = recorder().indexNow();
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(holdUpOrdinaryThreads(12ms)) << "real-time priority is not allowed here";
    std::this_thread::sleep_for(1s);
    const std::size_t released = recorder().indexNow();
    x().key("m", false);
    const std::vector<HeardNote> heard = listen(mark, 300ms);
    ASSERT_EQ(heard.size(), 1u) << "heard:" << describe(heard);
    EXPECT_EQ(heard.front().midi, 60);
    EXPECT_EQ(unexplainedDropouts(beforeHoldUp, released).size(), 0u) << "clicks after the hold-up";
    EXPECT_TRUE(soundingNow()) << "the note stopped before the rest key";
    rest();
}

// On PipeWire a change of quantum drops a cycle. A shorter quantum that falls due while the
// program rests is asked for in the rest, where that cycle goes unheard, and not in the next note.
TEST_F(Playing, AShorterQuantumDueAtRestIsTakenInTheRest) {
    if (serverFromEnvironment() != ServerKind::PipeWire)
        GTEST_SKIP()
            << "a PulseAudio stream is paused at rest: its buffer is set as it plays again";
    // The program stops twice for 20 ms while a note sounds: two missed cycles grow the quantum.
    x().key("m", true);
    std::this_thread::sleep_for(300ms);
    for (int stop = 0; stop < 2; ++stop) {
        kill(program().pid(), SIGSTOP);
        std::this_thread::sleep_for(20ms);
        kill(program().pid(), SIGCONT);
        std::this_thread::sleep_for(300ms);
    }
    x().key("m", false);
    ASSERT_TRUE(program().waitForLog("missed a cycle: buffer", 2s)) << program().log();
    rest();
    // 30 s without a click steps the quantum back; the program rests from 10 s after the note.
    EXPECT_TRUE(program().waitForLog("clean for a while", 50s)) << program().log();
    const std::size_t mark = recorder().indexNow();
    play({"m"});
    const std::vector<HeardNote> heard = listen(mark);  // a dropout in it fails the test
    ASSERT_EQ(heard.size(), 1u) << "heard:" << describe(heard);
    EXPECT_EQ(heard.front().midi, 60);
}

}  // namespace
}  // namespace velune::e2e
