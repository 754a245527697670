// The native PipeWire output without a daemon: no output, and no hang, rather than a stream that
// never plays. And how it tells a cycle the graph ran without it (a click) from its clock.

#include "pipewire_output.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

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
    struct Cycle {
        std::uint64_t ticks;
        std::size_t frames;
        bool restedBefore = false;
    };
    const struct {
        const char* name;
        double ticksPerFrame;
        std::vector<Cycle> cycles;
        std::vector<bool> missed;  // for each cycle
    } cases[] = {
        {"cycle after cycle, one a little late",
         1.0,
         {{6400, 64}, {6464, 64}, {6544, 64}, {6592, 64}},
         {false, false, false, false}},
        {"one cycle missed, then several",
         1.0,
         {{6400, 64}, {6528, 64}, {6592, 64}, {9000, 64}},
         {false, true, false, true}},
        {"the quantum grows and the clock jumps as the graph settles",
         1.0,
         {{6400, 128}, {6528, 256}, {6784, 256}, {8064, 256}, {8320, 256}, {8576, 256}},
         {false, false, false, false, false, false}},
        {"a miss once the graph has settled",
         1.0,
         {{6400, 128}, {6528, 64}, {6592, 64}, {6656, 64}, {6720, 64}, {6784, 64}, {6912, 64}},
         {false, false, false, false, false, false, true}},
        {"the clock ran on while the stream rested",
         1.0,
         {{6400, 64}, {96000, 64, true}},
         {false, false}},
        {"the graph at twice the stream's rate",
         2.0,
         {{6400, 64}, {6528, 64}, {6784, 64}},
         {false, false, true}},
        {"the graph at 48 kHz, the stream at 44.1 kHz",
         48000.0 / 44100,
         {{6400, 59}, {6464, 59}, {6528, 59}},
         {false, false, false}},
    };
    for (const auto& c : cases) {
        CycleWatch watch;
        for (std::size_t i = 0; i < c.cycles.size(); ++i) {
            if (c.cycles[i].restedBefore) watch.restart();
            EXPECT_EQ(watch.cycle(c.cycles[i].ticks, c.cycles[i].frames, c.ticksPerFrame),
                      c.missed[i])
                << c.name << ", cycle " << i;
        }
    }
}

}  // namespace
}  // namespace velune
