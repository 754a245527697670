#include "audio/cycle_watch.h"

namespace velune {

bool CycleWatch::cycle(std::uint64_t ticks, std::size_t frames, double ticksPerFrame) {
    const bool first = lastTicks_ == 0 || ticks < lastTicks_;
    const bool changed = frames != lastFrames_;
    const std::uint64_t elapsed = ticks - lastTicks_;
    lastTicks_ = ticks;
    lastFrames_ = frames;
    settled_ = false;
    if (first) return false;
    if (changed) {
        settling_ = kSettlingCycles;
        return false;
    }
    if (settling_ > 0) {
        --settling_;
        return false;
    }
    const double cycles =
        static_cast<double>(elapsed) / (static_cast<double>(frames) * ticksPerFrame);
    if (cycles > kLongestMiss) {
        settling_ = kSettlingCycles;  // a new clock, or one that stood still: take it up afresh
        return false;
    }
    settled_ = true;
    // More than one cycle, with some slack for a clock that follows a device.
    return cycles > 1.5;
}

}  // namespace velune
