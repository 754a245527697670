#pragma once

// What the scenarios share: the suite's rig, one fresh program per test, and the moves of a
// player (keys at a steady pace, clicks in a window's client area) with the notes heard back.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "audio_analysis.h"
#include "rig.h"

namespace velune::e2e {

// The rig of this test run, started by the test environment.
Rig& rig();

// One key press heard back: where in the recording the key went down.
struct KeyStroke {
    std::string key;
    std::size_t mark;
};

class Scenario : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    XSession& x() { return rig().x(); }
    Recorder& recorder() { return rig().recorder(); }
    Program& program() { return *program_; }
    XWindow mainWindow() const { return program_->mainWindow(); }

    // Presses and releases each key, one every `spacing`; each is held for `hold`.
    std::vector<KeyStroke> play(const std::vector<std::string>& keys,
                                std::chrono::milliseconds spacing = 350ms,
                                std::chrono::milliseconds hold = 120ms);
    // Everything heard from `from` until `after` past the last stroke (or now).
    std::vector<HeardNote> listen(std::size_t from, std::chrono::milliseconds after = 500ms);
    // Expects one note per stroke, each starting soon after its key went down, at these pitches.
    void expectNotes(const std::vector<KeyStroke>& strokes, const std::vector<HeardNote>& heard,
                     const std::vector<int>& pitches);
    // The sound from `from` to `to`, once it has been recorded.
    std::vector<float> recorded(std::size_t from, std::size_t to);
    // The last `duration` of sound up to now, once it has been recorded.
    std::vector<float> lastSound(std::chrono::milliseconds duration);
    // Whether something sounds at this moment (dropouts aside).
    bool soundingNow();
    // Whether a sound starts within `within` after `mark`.
    bool soundsAfter(std::size_t mark, std::chrono::milliseconds within = 1000ms);
    // Presses `key` and says whether it sounds at once.
    bool keyPlays(const std::string& key);
    // Waits for the recording to fall silent and stay so for a moment.
    void rest();

    void clickClient(XWindow window, int clientX, int clientY, int button = 1);

private:
    std::optional<Program> program_;
    std::size_t firstSample_ = 0;
    std::size_t dropouts_ = 0;
};

std::string describe(const std::vector<HeardNote>& heard);

}  // namespace velune::e2e
