#include "performance/keyboard_performance.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "recording_midi.h"

namespace velune {
namespace {

using testing::shortMessage;
using Messages = std::vector<std::uint32_t>;

struct FakeView : PerformanceView {
    std::map<int, std::uint32_t> rows;  // last colour written to each row
    std::int16_t marker = 600;
    int opacityRestores = 0;

    void setRowColor(int row, std::uint32_t color) override { rows[row] = color; }
    void setMarkerLeft(std::int16_t twips) override { marker = twips; }
    void restoreOpacity() override { ++opacityRestores; }
    std::vector<int> redRows() const {
        std::vector<int> red;
        for (const auto& [row, color] : rows) {
            if (color == kRowRed) red.push_back(row);
        }
        return red;
    }
};

constexpr std::uint32_t noteOn(int note) { return shortMessage(0x90, note, 100); }
constexpr std::uint32_t noteOff(int note) { return shortMessage(0x80, note, 0); }

struct Rig {
    testing::RecordingService service;
    testing::RecordingUi ui;
    Module1 midi{service, ui};
    FakeView view;
    KeyboardPerformance play{midi, view};

    Rig() {
        midi.OpenMidiOut(kMidiMapper);
        play.reset();
    }
    void press(std::int16_t key) { play.keyDown(key, 0); }
    void release(std::int16_t key) { play.keyUp(key, 0); }
    Messages take() { return std::exchange(service.messages, {}); }
};

struct PerformanceTest : ::testing::Test, Rig {};

// Each degree by its letter and its keypad key: note off of the last note, the degree's note
// on, the marker over its digit; the release keeps the note sounding.
TEST_F(PerformanceTest, EveryNoteKeyPlaysItsDegree) {
    const struct {
        std::int16_t letter, keypad;
        int note;
        std::int16_t marker;
    } degrees[] = {
        {vk::kM, 97, 60, 1515},  {vk::kComma, 98, 62, 2680}, {vk::kPeriod, 99, 64, 3880},
        {vk::kJ, 100, 65, 5045}, {vk::kK, 101, 67, 6190},    {vk::kL, 102, 69, 7360},
        {vk::kU, 103, 71, 8530},
    };
    int previous = 36;  // nothing played yet: the note off names the lowest note
    for (const auto& degree : degrees) {
        for (std::int16_t key : {degree.letter, degree.keypad}) {
            press(key);
            release(key);
            EXPECT_EQ(take(), (Messages{noteOff(previous), noteOn(degree.note)})) << key;
            EXPECT_EQ(view.marker, degree.marker) << key;
            previous = degree.note;
        }
    }
    // Shift, Ctrl and Alt change nothing.
    play.keyDown(vk::kK, 7);
    EXPECT_EQ(take(), (Messages{noteOff(71), noteOn(67)}));
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(PerformanceTest, HeldKeyIgnoresAutoRepeatAndItsPair) {
    press(vk::kM);
    take();
    for (int repeat = 0; repeat < 25; ++repeat) press(vk::kM);
    press(97);  // keypad 1 shares the slot
    EXPECT_TRUE(take().empty());
    press(vk::kK);  // another key plays while M is held; M's repeats still do not
    press(vk::kM);
    EXPECT_EQ(take(), (Messages{noteOff(60), noteOn(67)}));
    release(97);  // clears the shared slot although M is still down
    press(vk::kM);
    EXPECT_EQ(take(), (Messages{noteOff(67), noteOn(60)}));
}

struct Step {
    bool down;
    std::int16_t key;
};

// The octave of the next note and the rows painted red after a sequence of register keys.
TEST_F(PerformanceTest, RegisterKeysShiftFollowingNotes) {
    const struct {
        const char* name;
        std::vector<Step> steps;
        int noteOfM;
        std::vector<int> red;
    } cases[] = {
        {"E", {{true, vk::kE}}, 72, {4, 5}},
        {"E released", {{true, vk::kE}, {false, vk::kE}}, 60, {6}},
        {"F: lowest", {{true, vk::kF}}, 36, {9, 10, 11}},
        {"S E F, F released: E before S",
         {{true, vk::kS}, {true, vk::kE}, {true, vk::kF}, {false, vk::kF}},
         72,
         {1, 2, 3, 4, 5}},
        {"S F, S released", {{true, vk::kS}, {true, vk::kF}, {false, vk::kS}}, 36, {9, 10, 11}},
        {"D E, E released", {{true, vk::kD}, {true, vk::kE}, {false, vk::kE}}, 48, {7, 8}},
        {"D E F, F released: E before D",
         {{true, vk::kD}, {true, vk::kE}, {true, vk::kF}, {false, vk::kF}},
         72,
         {4, 5, 7, 8}},
        {"D S F, F released: S before D",
         {{true, vk::kD}, {true, vk::kS}, {true, vk::kF}, {false, vk::kF}},
         84,
         {1, 2, 3, 7, 8}},
        {"release without press", {{false, vk::kD}}, 60, {6}},
    };
    for (const auto& c : cases) {
        Rig fresh;
        for (const Step& step : c.steps)
            step.down ? fresh.press(step.key) : fresh.release(step.key);
        EXPECT_EQ(fresh.view.redRows(), c.red) << c.name;
        EXPECT_TRUE(fresh.take().empty()) << c.name << ": register keys send no MIDI";
        fresh.press(vk::kM);
        EXPECT_EQ(fresh.take().back(), noteOn(c.noteOfM)) << c.name;
    }
    press(vk::kS);
    press(vk::kU);
    EXPECT_EQ(take().back(), noteOn(95)) << "the highest note";
}

// The keys left the keyboard (another control, a box, another window): their releases go
// elsewhere, so every held key counts as released.
TEST_F(PerformanceTest, KeysThatLeaveCountAsReleased) {
    const struct {
        const char* name;
        std::vector<std::int16_t> held;
        int sounding;
        std::vector<int> red;
    } cases[] = {
        {"J", {vk::kJ}, 65, {}},
        {"E and J", {vk::kE, vk::kJ}, 77, {6}},
        {"all four registers", {vk::kD, vk::kE, vk::kF, vk::kS}, 36, {6}},
    };
    for (const auto& c : cases) {
        Rig fresh;
        for (std::int16_t key : c.held) fresh.press(key);
        fresh.take();
        fresh.play.releaseAll();
        EXPECT_TRUE(fresh.take().empty()) << c.name << ": the sounding note goes on";
        EXPECT_EQ(fresh.view.redRows(), c.red) << c.name;
        fresh.press(vk::kJ);
        EXPECT_EQ(fresh.take(), (Messages{noteOff(c.sounding), noteOn(65)})) << c.name;
    }
}

// Rests repeat the same note off; F1 restores the opacity; other keys do nothing at all.
TEST_F(PerformanceTest, RestsF1AndOtherKeys) {
    press(vk::kL);
    take();
    for (std::int16_t key : {vk::kSpace, vk::kSpace, vk::kNumpad0, vk::kF1}) press(key);
    release(vk::kSpace);
    EXPECT_EQ(take(), (Messages{noteOff(69), noteOff(69), noteOff(69)}));
    EXPECT_EQ(view.opacityRestores, 1);
    // A, Q, main-row 1 and 7, keypad 8 and 9, arrows, Enter, Tab, Shift, Ctrl, F2.
    for (std::int16_t key : {65, 81, 49, 55, 104, 105, 37, 13, 9, 16, 17, 0, -1, 113}) {
        press(key);
        release(key);
    }
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(view.marker, 7360);
    EXPECT_EQ(view.opacityRestores, 1);
    EXPECT_TRUE(view.rows.empty());
}

}  // namespace
}  // namespace velune
