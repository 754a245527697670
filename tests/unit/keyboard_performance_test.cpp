#include "keyboard_performance.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "recording_midi.h"

namespace velune {
namespace {

using testing::RecordingService;
using testing::RecordingUi;
using testing::shortMessage;

struct FakeView : PerformanceView {
    std::map<int, std::uint32_t> rows;  // last colour written to each row
    std::vector<int> writes;            // rows in the order they were painted
    std::int16_t marker = 600;
    int opacityRestores = 0;

    FakeView() {
        for (int row = 1; row <= 11; ++row) rows[row] = kRowWhite;
        rows[6] = kDesignRed;
    }
    void setRowColor(int row, std::uint32_t color) override {
        rows[row] = color;
        writes.push_back(row);
    }
    void setMarkerLeft(std::int16_t twips) override { marker = twips; }
    void restoreOpacity() override { ++opacityRestores; }

    std::vector<int> redRows() const {
        std::vector<int> red;
        for (const auto& [row, color] : rows) {
            if (color != kRowWhite) red.push_back(row);
        }
        return red;
    }
};

constexpr std::uint32_t noteOn(int note) { return shortMessage(0x90, note, 100); }
constexpr std::uint32_t noteOff(int note) { return shortMessage(0x80, note, 0); }

struct Rig {
    RecordingService service;
    RecordingUi ui;
    Module1 midi{service, ui};
    FakeView view;
    KeyboardPerformance play{midi, view};

    Rig() {
        midi.OpenMidiOut(kMidiMapper);
        play.reset();
    }
    void press(std::int16_t key) { play.keyDown(key, 0); }
    void release(std::int16_t key) { play.keyUp(key, 0); }
    void tap(std::int16_t key) {
        press(key);
        release(key);
    }
    std::vector<std::uint32_t> take() { return std::exchange(service.messages, {}); }
};

struct PerformanceTest : ::testing::Test, Rig {};

TEST_F(PerformanceTest, RoadOfOneNote) {
    press(vk::kJ);
    EXPECT_EQ(take(), (std::vector<std::uint32_t>{noteOff(36), noteOn(65)}));
    EXPECT_EQ(play.lastNote(), 29);
    EXPECT_EQ(play.keyState(3), 1);
    EXPECT_EQ(view.marker, 5045);
    release(vk::kJ);
    EXPECT_EQ(play.keyState(3), 0);
    EXPECT_TRUE(take().empty()) << "a release never silences the note";
}

TEST_F(PerformanceTest, EveryNoteKeyOfTheMap) {
    struct Row {
        std::int16_t letter, keypad;
        int slot, note;
        std::int16_t marker;
    };
    const Row rows[] = {
        {vk::kM, 97, 0, 60, 1515},      {vk::kComma, 98, 1, 62, 2680},
        {vk::kPeriod, 99, 2, 64, 3880}, {vk::kJ, 100, 3, 65, 5045},
        {vk::kK, 101, 4, 67, 6190},     {vk::kL, 102, 5, 69, 7360},
        {vk::kU, 103, 6, 71, 8530},
    };
    int previous = 36;
    for (const Row& row : rows) {
        for (std::int16_t key : {row.letter, row.keypad}) {
            press(key);
            EXPECT_EQ(take(), (std::vector<std::uint32_t>{noteOff(previous), noteOn(row.note)}))
                << "key " << key;
            EXPECT_EQ(play.keyState(row.slot), 1) << "key " << key;
            EXPECT_EQ(view.marker, row.marker) << "key " << key;
            EXPECT_EQ(play.lastNote(), row.note - 36);
            release(key);
            EXPECT_EQ(play.keyState(row.slot), 0) << "key " << key;
            previous = row.note;
        }
    }
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(PerformanceTest, HeldKeyIgnoresAutoRepeatAndItsPair) {
    press(vk::kM);
    take();
    for (int repeat = 0; repeat < 25; ++repeat) press(vk::kM);
    press(97);  // keypad 1 shares the slot
    EXPECT_TRUE(take().empty());
    release(97);  // clears the shared slot although M is still down
    press(vk::kM);
    EXPECT_EQ(take(), (std::vector<std::uint32_t>{noteOff(60), noteOn(60)}));
}

TEST_F(PerformanceTest, NewNoteWhileAnotherIsHeldSilencesIt) {
    press(vk::kJ);
    press(vk::kK);
    EXPECT_EQ(take(), (std::vector<std::uint32_t>{noteOff(36), noteOn(65), noteOff(65),
                                                  noteOn(67)}));
    press(vk::kJ);  // J's repeat: its slot is still held
    EXPECT_TRUE(take().empty());
}

TEST_F(PerformanceTest, RestRepeatsTheSameNoteOff) {
    press(vk::kL);
    take();
    const auto marker = view.marker;
    press(vk::kSpace);
    press(vk::kSpace);
    press(vk::kNumpad0);
    EXPECT_EQ(take(), (std::vector<std::uint32_t>{noteOff(69), noteOff(69), noteOff(69)}));
    EXPECT_EQ(play.lastNote(), 33);
    EXPECT_EQ(view.marker, marker);
    release(vk::kSpace);
    EXPECT_TRUE(take().empty());
}

TEST_F(PerformanceTest, RegisterKeysShiftFollowingNotes) {
    struct Case {
        const char* name;
        std::vector<std::pair<bool, std::int16_t>> steps;  // true: press, false: release
        std::int16_t shift;
        std::vector<int> red;
    };
    const Case cases[] = {
        {"E", {{true, vk::kE}}, 12, {4, 5}},
        {"E released", {{true, vk::kE}, {false, vk::kE}}, 0, {6}},
        {"S E F, F released: E before S", {{true, vk::kS}, {true, vk::kE}, {true, vk::kF},
                                           {false, vk::kF}}, 12, {1, 2, 3, 4, 5}},
        {"S F held, S released", {{true, vk::kS}, {true, vk::kF}, {false, vk::kS}}, -24,
         {9, 10, 11}},
        {"D held, E pressed and released", {{true, vk::kD}, {true, vk::kE}, {false, vk::kE}},
         -12, {7, 8}},
        {"E held, D pressed and released", {{true, vk::kE}, {true, vk::kD}, {false, vk::kD}},
         12, {4, 5}},
        {"D E F, F released: E before D", {{true, vk::kD}, {true, vk::kE}, {true, vk::kF},
                                           {false, vk::kF}}, 12, {4, 5, 7, 8}},
        {"D S F, F released: S before D", {{true, vk::kD}, {true, vk::kS}, {true, vk::kF},
                                           {false, vk::kF}}, 24, {1, 2, 3, 7, 8}},
        {"last pressed wins", {{true, vk::kF}, {true, vk::kS}}, 24, {1, 2, 3, 9, 10, 11}},
        {"release without press", {{false, vk::kD}}, 0, {6}},
    };
    for (const Case& c : cases) {
        Rig fresh;
        for (auto [down, key] : c.steps) down ? fresh.press(key) : fresh.release(key);
        EXPECT_EQ(fresh.play.octaveShift(), c.shift) << c.name;
        EXPECT_EQ(fresh.view.redRows(), c.red) << c.name;
        EXPECT_TRUE(fresh.take().empty()) << c.name << ": register keys send no MIDI";
    }
}

TEST_F(PerformanceTest, RegisterRowsArePaintedInOrderWithTheHandlersRed) {
    press(vk::kF);
    EXPECT_EQ(view.writes, (std::vector<int>{6, 9, 10, 11}));
    EXPECT_EQ(view.rows[9], kRowRed);
    EXPECT_EQ(view.rows[6], kRowWhite);
    release(vk::kF);
    EXPECT_EQ(view.writes, (std::vector<int>{6, 9, 10, 11, 9, 10, 11, 6}));
    EXPECT_EQ(view.rows[6], kRowRed) << "the middle row comes back in the handlers' red";
}

TEST_F(PerformanceTest, RegistersReachTheLowestAndHighestNotes) {
    const struct {
        std::int16_t reg, key;
        int note;
    } cases[] = {{vk::kF, vk::kM, 36}, {vk::kS, vk::kU, 95}, {vk::kE, vk::kM, 72},
                 {vk::kD, vk::kJ, 53}};
    for (const auto& c : cases) {
        press(c.reg);
        take();
        tap(c.key);
        ASSERT_EQ(service.messages.size(), 2u);
        EXPECT_EQ(service.messages[1], noteOn(c.note));
        release(c.reg);
        take();
    }
    tap(vk::kM);
    EXPECT_EQ(take().back(), noteOn(60));
}

TEST_F(PerformanceTest, RestAfterRegisterReleaseNamesThePitchPlayed) {
    press(vk::kS);
    tap(vk::kU);
    release(vk::kS);
    take();
    press(vk::kSpace);
    EXPECT_EQ(take(), std::vector<std::uint32_t>{noteOff(95)});
}

TEST_F(PerformanceTest, KeysOutsideTheMapsDoNothing) {
    // Other letters, main-row digits, keypad 8 and 9, arrows, Enter, Tab, Shift, Ctrl.
    const std::int16_t others[] = {'A', 'Q', 'Z', '1', '7', 104, 105, 37, 38, 13, 9, 16, 17, 0,
                                   -1, 113};
    for (std::int16_t key : others) {
        tap(key);
    }
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(play.octaveShift(), 0);
    for (int slot = 0; slot < kSlots; ++slot) EXPECT_EQ(play.keyState(slot), 0);
    EXPECT_EQ(view.marker, 600);
    EXPECT_TRUE(view.writes.empty());
}

TEST_F(PerformanceTest, ShiftAndCtrlChangeNothing) {
    for (std::int16_t shift : {1, 2, 3}) {
        play.keyDown(vk::kK, shift);
        play.keyUp(vk::kK, shift);
        EXPECT_EQ(take().back(), noteOn(67)) << "shift state " << shift;
    }
}

TEST_F(PerformanceTest, F1RestoresOpacityAndNothingElse) {
    press(vk::kF1);
    press(vk::kF1);
    release(vk::kF1);
    EXPECT_EQ(view.opacityRestores, 2);
    EXPECT_TRUE(take().empty());
}

TEST_F(PerformanceTest, SilenceBeforeAnyNoteNamesNote36) {
    play.silence();
    EXPECT_EQ(take(), std::vector<std::uint32_t>{noteOff(36)});
}

}  // namespace
}  // namespace velune
