#include "audio_core/buffer_policy.h"

#include <algorithm>
#include <array>

namespace velune {

std::string toString(const BufferSetting& setting) {
    return std::to_string(setting.periodFrames) + "x" + std::to_string(setting.periods);
}

namespace {

// The period at each step, in thirds of the start.
constexpr std::array<unsigned, 5> kFineThirds{3, 4, 6, 8, 12};
constexpr std::array<unsigned, 3> kDoublingThirds{3, 6, 12};
constexpr unsigned kFrameStep = 16;

// `value` * `thirds` / 3, rounded up to a multiple of `unit`.
unsigned scaled(unsigned value, unsigned thirds, unsigned unit) {
    const unsigned exact = (value * thirds + 2) / 3;
    return (exact + unit - 1) / unit * unit;
}

}  // namespace

BufferPolicy::BufferPolicy(BufferSetting start, bool pinned, TimePoint now, Steps steps)
    : start_(start),
      steps_(steps),
      current_(start),
      pinned_(pinned),
      lastChange_(now),
      quietSince_(now) {}

std::span<const unsigned> BufferPolicy::thirds() const {
    if (steps_ == Steps::Doubling) return kDoublingThirds;
    return kFineThirds;
}

BufferSetting BufferPolicy::at(std::size_t step) const {
    BufferSetting setting = start_;
    if (step > 0) setting.periodFrames = scaled(start_.periodFrames, thirds()[step], kFrameStep);
    return setting;
}

bool BufferPolicy::underflow(TimePoint now, bool audible) {
    if (pinned_ || !audible) return false;
    // A quiet stretch starts again with every click, whether the buffer grows or not.
    quietSince_ = now;
    const bool recurring = lastClick_ && now - *lastClick_ < kRecurrence;
    lastClick_ = now;
    if (steps_ == Steps::Doubling && !recurring) return false;
    if (steppedBack_ && now - lastChange_ < stretch_) {
        stretch_ = std::min(2 * stretch_, kLongestStretch);
    }
    steppedBack_ = false;
    lastChange_ = now;
    if (step_ + 1 == thirds().size()) return false;
    current_ = at(++step_);
    // The new quantum's own change drops a cycle: it takes two clicks of its own to grow again.
    if (steps_ == Steps::Doubling) lastClick_.reset();
    return true;
}

void BufferPolicy::restartAt(BufferSetting start, TimePoint now) {
    *this = BufferPolicy(start, pinned_, now, steps_);
}

bool BufferPolicy::tick(TimePoint now) {
    if (pinned_ || step_ == 0 || now - quietSince_ < stretch_) return false;
    current_ = at(--step_);
    steppedBack_ = true;
    lastChange_ = quietSince_ = now;
    return true;
}

void BufferPolicy::cycleLate(TimePoint now, std::chrono::nanoseconds late, unsigned rate) {
    if (pinned_ || rate == 0 || step_ == 0) return;
    const double shorter = static_cast<double>(at(step_ - 1).periodFrames) / rate;
    if (std::chrono::duration<double>(late).count() > kStrain * shorter) quietSince_ = now;
}

}  // namespace velune
