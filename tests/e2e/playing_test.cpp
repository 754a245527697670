// Playing: real key presses on the real program, the notes heard from the audio server.

#include <thread>

#include "scenario.h"

namespace velune::e2e {
namespace {

const std::vector<std::string> kLaptopKeys{"m", "comma", "period", "j", "k", "l", "u"};
const std::vector<std::string> kKeypadKeys{"KP_1", "KP_2", "KP_3", "KP_4", "KP_5", "KP_6", "KP_7"};
const std::vector<int> kScale{60, 62, 64, 65, 67, 69, 71};

using Playing = Scenario;

TEST_F(Playing, TheScaleOnTheLaptopKeysAndOnTheKeypadTwice) {
    x().ensureNumLock();
    std::vector<std::string> keys;
    std::vector<int> pitches;
    for (int round = 0; round < 2; ++round) {
        for (const auto* row : {&kLaptopKeys, &kKeypadKeys}) {
            keys.insert(keys.end(), row->begin(), row->end());
            pitches.insert(pitches.end(), kScale.begin(), kScale.end());
        }
    }
    const std::vector<KeyStroke> strokes = play(keys);
    expectNotes(strokes, listen(strokes.front().mark), pitches);
}

// A register key held while a note key is struck; then the note key alone, in the middle again.
TEST_F(Playing, RegisterKeysShiftTheNotesWhileHeld) {
    struct Chord {
        const char* shift;
        const char* key;
        int pitch;
    };
    const std::vector<Chord> chords{{"e", "m", 72}, {"s", "u", 95}, {"f", "m", 36}, {"d", "j", 53}};
    std::vector<KeyStroke> strokes;
    std::vector<int> pitches;
    for (const Chord& chord : chords) {
        x().keyDown(chord.shift);
        std::this_thread::sleep_for(60ms);
        strokes.push_back(play({chord.key}, 350ms).front());
        std::this_thread::sleep_for(250ms);
        x().keyUp(chord.shift);
        pitches.push_back(chord.pitch);
    }
    strokes.push_back(play({"m"}).front());
    pitches.push_back(60);
    expectNotes(strokes, listen(strokes.front().mark), pitches);
}

TEST_F(Playing, AHeldKeyPlaysOneNoteUntilARest) {
    const std::size_t mark = recorder().indexNow();
    x().keyDown("m");
    std::this_thread::sleep_for(2s);  // the X server repeats the key from 660 ms on
    x().keyUp("m");
    const std::vector<HeardNote> heard = listen(mark, 300ms);
    ASSERT_EQ(heard.size(), 1u) << "heard:" << describe(heard);
    EXPECT_EQ(heard.front().midi, 60);

    EXPECT_TRUE(soundingNow()) << "the note stopped before the rest key";
    const std::size_t beforeRest = recorder().indexNow();
    x().tap("space");
    const std::optional<std::size_t> silent = recorder().waitForSilence(beforeRest, 300ms, 3s);
    ASSERT_TRUE(silent) << "still sounding after the rest key";
    EXPECT_LT(*silent - beforeRest, static_cast<std::size_t>(1.5 * kSampleRate))
        << "the rest key did not silence the note";
}

}  // namespace
}  // namespace velune::e2e
