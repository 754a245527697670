// When an audio output comes to rest: not in a pause between two phrases, whose first note would
// then wait for the stream to start again, but once the player has stopped.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio_core/rest_watch.h"
#include "silence.h"

namespace velune {
namespace {

using testing::Silence;

TEST(RestWatch, RestsOnlyAfterALongerQuietThanAPauseBetweenPhrases) {
    const struct {
        const char* name;
        double quietSeconds;  // of silence after a message, rendered in periods of 1024 frames
        bool atRest;
    } cases[] = {
        {"a second's pause", 1.1, false},
        {"four seconds' pause", 4.0, false},
        {"a pause just short of ten seconds", 9.8, false},
        {"the player stopped", 10.1, true},
    };
    constexpr unsigned kRate = 48000;
    constexpr std::size_t kPeriod = 1024;
    Silence synth;
    std::vector<float> period(kPeriod * 2);
    for (const auto& c : cases) {
        RestWatch rest;
        rest.message();
        bool atRest = false;
        for (std::size_t frames = 0; frames < c.quietSeconds * kRate; frames += kPeriod)
            atRest = rest.render(synth, period.data(), kPeriod, kRate);
        EXPECT_EQ(atRest, c.atRest) << c.name;
    }
    // A message that sounds nothing (an instrument chosen) leaves the silence before it silent: a
    // dropout just after it goes unheard, and must not grow the buffer.
    RestWatch rest;
    for (std::size_t frames = 0; frames < kRate / 5; frames += kPeriod)
        rest.render(synth, period.data(), kPeriod, kRate);
    rest.message();
    rest.render(synth, period.data(), kPeriod, kRate);
    EXPECT_GT(rest.quietFrames(), kRate / 5);
}

}  // namespace
}  // namespace velune
