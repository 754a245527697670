#include "audio_core/rest_watch.h"

#include <algorithm>
#include <cmath>

#include "audio_core/render_source.h"

namespace velune {
namespace {

constexpr float kSilence = 1e-6f;  // -120 dBFS
constexpr unsigned kQuietPerSecond = 10;

}  // namespace

bool RestWatch::render(RenderSource& source, float* data, std::size_t frames, unsigned rate) {
    const unsigned messages = messages_.load(std::memory_order_acquire);
    if (messages != seen_) {
        seen_ = messages;
        framesSinceMessage_ = 0;
    }
    source.render(data, frames);
    const bool quiet = std::all_of(data, data + frames * 2,
                                   [](float sample) { return std::abs(sample) < kSilence; });
    quietFrames_ = quiet ? quietFrames_ + frames : 0;
    framesSinceMessage_ += frames;
    return quietFrames_ >= rate / kQuietPerSecond &&
           framesSinceMessage_ * 1000 >= rate * static_cast<std::size_t>(quietStretch_.count());
}

}  // namespace velune
