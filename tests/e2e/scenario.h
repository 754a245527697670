#pragma once

// What the scenarios share: the suite's rig, one fresh program per test, and the moves of a
// player (keys at a steady pace, clicks in a window's client area, message boxes read and OKed)
// with the notes heard back. Whatever a scenario listens to must not drop out, unless the
// machine itself stalled then: a watch on the machine's stalls runs through every scenario.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "audio_analysis.h"
#include "rig.h"
#include "stall_watch.h"

namespace velune::e2e {

using namespace velune::rig;
using namespace std::chrono_literals;

// The rig of this test run, started by the test environment.
Rig& theRig();

// Places in the main window's client area, in pixels (the stored design's twips / 15).
inline constexpr ScreenRect kCombo1{128, 24, 185, 20};
inline constexpr ScreenRect kTouming{432, 24, 129, 17};
inline constexpr ScreenRect kCommand1{584, 24, 65, 25};
inline constexpr ScreenRect kKeyBoard{16, 136, 65, 33};
// The help dialog's OK label, in the dialog's client area.
inline constexpr ScreenRect kOkLabel{136, 216, 73, 41};

// One key press heard back: where in the recording the key went down.
struct KeyStroke {
    std::string key;
    std::size_t mark;
};

// Where the sound moved from one sink to another, both recorded: the seam of their monitors
// within these marks may sound as a strike of the note sounding on.
struct Seam {
    std::size_t begin;
    std::size_t end;
};

// The text of a message box, read as a user would copy it: a triple click on its line selects
// it, and it becomes the X primary selection.
std::string boxText(XSession& x, XWindow box);

class Scenario : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    XSession& x() { return theRig().x(); }
    Recorder& recorder() { return theRig().recorder(); }
    Program& program() { return *program_; }
    XWindow mainWindow() const { return program_->mainWindow(); }

    // Presses and releases each key, one every `spacing`; each is held for `hold`.
    std::vector<KeyStroke> play(const std::vector<std::string>& keys,
                                std::chrono::milliseconds spacing = 350ms,
                                std::chrono::milliseconds hold = 120ms);
    // Everything heard from `from` until `after` past now. A dropout in it fails the test unless
    // the machine stalled then, or it lies in one of the first `notesThatMayDropOut` notes heard
    // to drop out (the audio buffer grows at a dropout, so that the notes after play clean).
    std::vector<HeardNote> listen(std::size_t from, std::chrono::milliseconds after = 500ms,
                                  std::size_t notesThatMayDropOut = 0,
                                  std::optional<Seam> seam = std::nullopt);
    // Expects one note per stroke, each starting soon after its key went down, at these pitches.
    // (How soon exactly is the benchmark's business; `latest` only tells a key that played late.)
    void expectNotes(const std::vector<KeyStroke>& strokes, const std::vector<int>& pitches,
                     std::chrono::milliseconds latest = 300ms, std::size_t notesThatMayDropOut = 0,
                     std::optional<Seam> seam = std::nullopt);
    // Whether something sounds at this moment (dropouts aside).
    bool soundingNow();
    // Whether a sound starts within `within` after `mark`.
    bool soundsAfter(std::size_t mark, std::chrono::milliseconds within = 1000ms);
    // Presses `key` and says whether it sounds at once.
    bool keyPlays(const std::string& key);
    // Taps the rest key and expects silence within a second.
    void rest();
    void clickClient(XWindow window, ScreenRect place);
    // Closes the main window and expects the program to end well within `within`.
    void closeAndExpectEnd(std::chrono::milliseconds within = 2s);

    // The dropouts from `from` to `to` that no stall of the machine explains.
    std::vector<Dropout> unexplainedDropouts(std::size_t from, std::size_t to);

  private:
    std::optional<StallWatch> stallWatch_;
    std::optional<Program> program_;
    std::size_t firstSample_ = 0;
};

}  // namespace velune::e2e
