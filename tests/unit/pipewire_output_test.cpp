// The native PipeWire output without a daemon: no output, and no hang, rather than a stream that
// never plays. And how it tells a cycle the graph ran without it (a click) from its clock.

#include "pipewire_output.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "buffer_policy.h"

namespace velune {
namespace {

TEST(PipeWireServer, AnUnreachableDaemonMeansNoOutput) {
    setenv("PIPEWIRE_REMOTE", "velune-no-such-daemon", 1);
    const BufferPolicy policy({64, 3}, false, std::chrono::steady_clock::now());
    EXPECT_EQ(PipeWireOutput::open(nullptr, 48000, policy), nullptr);
    unsetenv("PIPEWIRE_REMOTE");
}

TEST(PipeWireCycle, OnlyACycleThatPassedWithoutUsCounts) {
    const struct {
        const char* name;
        std::uint64_t lastTicks, ticks;
        std::size_t lastFrames, frames;
        double ticksPerFrame;
        bool missed;
    } cases[] = {
        {"the next cycle", 6400, 6464, 64, 64, 1.0, false},
        {"a little late", 6400, 6480, 64, 64, 1.0, false},
        {"one cycle missed", 6400, 6528, 64, 64, 1.0, true},
        {"several missed", 6400, 9000, 64, 64, 1.0, true},
        {"the quantum just grew", 6400, 6528, 64, 128, 1.0, false},
        {"the quantum just shrank", 6400, 6528, 128, 64, 1.0, false},
        {"one missed after the quantum shrank", 6400, 6720, 128, 64, 1.0, true},
        {"the graph at twice the stream's rate", 6400, 6528, 64, 64, 2.0, false},
        {"a miss at twice the rate", 6400, 6656, 64, 64, 2.0, true},
        {"the graph at 48 kHz, the stream at 44.1 kHz", 6400, 6464, 59, 59, 48000.0 / 44100, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(missedCycle(c.lastTicks, c.ticks, c.lastFrames, c.frames, c.ticksPerFrame),
                  c.missed)
            << c.name;
    }
}

}  // namespace
}  // namespace velune
