#include "buffer_policy.h"

#include <algorithm>

namespace velune {

std::string toString(const BufferSetting& setting) {
    return std::to_string(setting.periodFrames) + "x" + std::to_string(setting.periods);
}

BufferPolicy::BufferPolicy(BufferSetting start, bool pinned, TimePoint now)
    : start_(start), current_(start), pinned_(pinned), lastChange_(now) {}

bool BufferPolicy::underflow(TimePoint now, bool audible) {
    if (pinned_ || !audible) return false;
    if (steppedBack_ && now - lastChange_ < stretch_) {
        stretch_ = std::min(2 * stretch_, kLongestStretch);
    }
    steppedBack_ = false;
    // A quiet stretch starts again with every click, whether the buffer can grow or not.
    lastChange_ = now;
    if (current_.periodFrames * 2 > kLongestPeriod) return false;
    current_.periodFrames *= 2;
    return true;
}

bool BufferPolicy::tick(TimePoint now) {
    if (pinned_ || current_ == start_ || now - lastChange_ < stretch_) return false;
    current_.periodFrames /= 2;
    steppedBack_ = true;
    lastChange_ = now;
    return true;
}

}  // namespace velune
