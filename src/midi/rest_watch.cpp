#include "rest_watch.h"

#include <fluidsynth.h>

#include <algorithm>
#include <cmath>

namespace velune {
namespace {

constexpr float kSilence = 1e-6f;  // -120 dBFS
constexpr unsigned kQuietPerSecond = 10;

}  // namespace

bool RestWatch::render(fluid_synth_t* synth, float* data, std::size_t frames, unsigned rate) {
    const unsigned messages = messages_.load(std::memory_order_acquire);
    if (messages != seen_) {
        seen_ = messages;
        framesSinceMessage_ = 0;
        quietFrames_ = 0;
    }
    fluid_synth_write_float(synth, static_cast<int>(frames), data, 0, 2, data, 1, 2);
    const bool quiet = std::all_of(data, data + frames * 2,
                                   [](float sample) { return std::abs(sample) < kSilence; });
    quietFrames_ = quiet ? quietFrames_ + frames : 0;
    framesSinceMessage_ += frames;
    return quietFrames_ >= rate / kQuietPerSecond && framesSinceMessage_ >= rate;
}

}  // namespace velune
