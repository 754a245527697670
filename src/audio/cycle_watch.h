#pragma once

// Tells, from a PipeWire graph's clock at each cycle a stream renders, whether the graph ran
// cycles without it since the one before (a click). For a few cycles after a change of quantum
// the clock is no guide: when a node asks for another quantum, PipeWire's clock jumps once by up
// to the default quantum (1024 frames) as the graph settles, which would otherwise read as a
// miss, ask for a longer quantum, and jump again. And a jump of more than a few cycles is no
// miss either: the device was suspended, the stream moved to another one, or the server was
// stopped; the clock is then taken up afresh.

#include <cstddef>
#include <cstdint>

namespace velune {

class CycleWatch {
  public:
    static constexpr int kSettlingCycles = 4;
    // More cycles than this at once: the clock jumped, no cycle was missed.
    static constexpr double kLongestMiss = 32;

    // A cycle at `ticks` of the graph's clock asks us for `frames`, `ticksPerFrame` being the
    // ratio of the graph's rate to the stream's: true when cycles passed without us.
    bool cycle(std::uint64_t ticks, std::size_t frames, double ticksPerFrame);
    // The stream rested while the clock ran on: the next cycle starts afresh.
    void restart() { lastTicks_ = 0; }
    // The last cycle came in a graph that had settled: its clock, and when it began, can be
    // trusted.
    bool settled() const { return settled_; }

  private:
    std::uint64_t lastTicks_ = 0;  // 0: no cycle yet
    std::size_t lastFrames_ = 0;
    int settling_ = 0;
    bool settled_ = false;
};

}  // namespace velune
