// The adaptive audio buffer on a fake clock: a click makes it longer at once, a clean stretch
// shorter again (unless a cycle came too late for the shorter one), and a buffer the user chose
// stays put.

#include "audio_core/buffer_policy.h"

#include <gtest/gtest.h>

#include <vector>

namespace velune {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Event {
    enum Kind { Underflow, SilentUnderflow, Tick, LateCycle } kind;
    milliseconds at;  // since the start
    microseconds late{};
};
constexpr Event underflowAt(milliseconds at) { return {Event::Underflow, at}; }
constexpr Event silentUnderflowAt(milliseconds at) { return {Event::SilentUnderflow, at}; }
constexpr Event tickAt(milliseconds at) { return {Event::Tick, at}; }
// At 50 kHz 128 frames last 2560 us: a cycle late by more than 1920 us would have strained a
// 128-frame setting.
constexpr unsigned kRate = 50000;
constexpr Event lateCycleAt(milliseconds at, microseconds late) {
    return {Event::LateCycle, at, late};
}

TEST(BufferPolicy, GrowsAtAClickAndShrinksAfterAQuietStretch) {
    constexpr milliseconds kQuiet = BufferPolicy::kQuietStretch;
    constexpr milliseconds kJustBefore = kQuiet - milliseconds(1);
    const struct {
        const char* name;
        BufferSetting start;
        bool pinned;
        BufferPolicy::Steps steps;
        std::vector<Event> events;
        std::vector<BufferSetting> after;  // after each event
    } cases[] = {
        {"a click grows the buffer at once",
         {64, 3},
         false,
         BufferPolicy::Steps::Fine,
         {underflowAt(milliseconds(5))},
         {{96, 3}}},
        {"clicks grow it up to four times the start",
         {64, 3},
         false,
         BufferPolicy::Steps::Fine,
         {underflowAt(milliseconds(1)), underflowAt(milliseconds(2)), underflowAt(milliseconds(3)),
          underflowAt(milliseconds(4)), underflowAt(milliseconds(5))},
         {{96, 3}, {128, 3}, {176, 3}, {256, 3}, {256, 3}}},
        {"PipeWire's quanta double, from the second click at each quantum on",
         {128, 3},
         false,
         BufferPolicy::Steps::Doubling,
         {underflowAt(milliseconds(1)), underflowAt(milliseconds(2)), underflowAt(milliseconds(40)),
          underflowAt(milliseconds(50)), underflowAt(milliseconds(60)),
          tickAt(kQuiet + milliseconds(60))},
         {{128, 3}, {256, 3}, {256, 3}, {512, 3}, {512, 3}, {256, 3}}},
        {"on PipeWire a lone click leaves the quantum, as its change would click once more",
         {128, 3},
         false,
         BufferPolicy::Steps::Doubling,
         {underflowAt(seconds(0)), underflowAt(seconds(10)), underflowAt(seconds(19)),
          silentUnderflowAt(seconds(20))},
         {{128, 3}, {128, 3}, {256, 3}, {256, 3}}},
        {"a quiet stretch steps back one setting at a time",
         {64, 3},
         false,
         BufferPolicy::Steps::Fine,
         {underflowAt(milliseconds(0)), underflowAt(milliseconds(0)), tickAt(kJustBefore),
          tickAt(kQuiet), tickAt(kQuiet + kJustBefore), tickAt(2 * kQuiet), tickAt(5 * kQuiet)},
         {{96, 3}, {128, 3}, {128, 3}, {96, 3}, {96, 3}, {64, 3}, {64, 3}}},
        {"a click during the stretch starts it again",
         {64, 3},
         false,
         BufferPolicy::Steps::Fine,
         {underflowAt(milliseconds(0)), tickAt(kQuiet / 2), underflowAt(kQuiet / 2), tickAt(kQuiet),
          tickAt(kQuiet + kQuiet / 2)},
         {{96, 3}, {96, 3}, {128, 3}, {128, 3}, {96, 3}}},
        {"a click at the cap starts the stretch again",
         {128, 3},
         false,
         BufferPolicy::Steps::Fine,
         {underflowAt(milliseconds(0)), underflowAt(milliseconds(0)), underflowAt(milliseconds(0)),
          underflowAt(milliseconds(0)), underflowAt(kJustBefore), tickAt(kQuiet),
          tickAt(kJustBefore + kQuiet)},
         {{176, 3}, {256, 3}, {352, 3}, {512, 3}, {512, 3}, {512, 3}, {352, 3}}},
        {"a click soon after a step back doubles the next stretch",
         {64, 3},
         false,
         BufferPolicy::Steps::Fine,
         {underflowAt(milliseconds(0)), tickAt(kQuiet), underflowAt(kQuiet + seconds(1)),
          tickAt(2 * kQuiet + seconds(1)), tickAt(3 * kQuiet + seconds(1)),
          underflowAt(3 * kQuiet + seconds(2)), tickAt(6 * kQuiet), tickAt(8 * kQuiet)},
         {{96, 3}, {64, 3}, {96, 3}, {96, 3}, {64, 3}, {96, 3}, {96, 3}, {64, 3}}},
        {"a late cycle that made it grows nothing, and one too late for the shorter setting "
         "holds the step back",
         {128, 3},
         false,
         BufferPolicy::Steps::Doubling,
         {underflowAt(-milliseconds(1)), underflowAt(milliseconds(0)),
          lateCycleAt(milliseconds(1), microseconds(4800)),
          lateCycleAt(kQuiet / 2, microseconds(1950)), tickAt(kQuiet + milliseconds(2)),
          tickAt(kQuiet + kQuiet / 2), lateCycleAt(kQuiet + kQuiet / 2, microseconds(2350))},
         {{128, 3}, {256, 3}, {256, 3}, {256, 3}, {256, 3}, {128, 3}, {128, 3}}},
        {"never below the start, however quiet",
         {128, 2},
         false,
         BufferPolicy::Steps::Fine,
         {tickAt(kQuiet), tickAt(10 * kQuiet), underflowAt(10 * kQuiet), tickAt(11 * kQuiet),
          tickAt(12 * kQuiet)},
         {{128, 2}, {128, 2}, {176, 2}, {128, 2}, {128, 2}}},
        {"an underflow over silence is not heard and changes nothing",
         {64, 3},
         false,
         BufferPolicy::Steps::Fine,
         {silentUnderflowAt(milliseconds(0)), underflowAt(kJustBefore), silentUnderflowAt(kQuiet),
          tickAt(kJustBefore + kQuiet)},
         {{64, 3}, {96, 3}, {96, 3}, {64, 3}}},
        {"a pinned buffer never moves",
         {64, 3},
         true,
         BufferPolicy::Steps::Fine,
         {underflowAt(milliseconds(0)), underflowAt(milliseconds(1)), tickAt(kQuiet)},
         {{64, 3}, {64, 3}, {64, 3}}},
        {"a pinned long buffer never shrinks",
         {1024, 2},
         true,
         BufferPolicy::Steps::Fine,
         {tickAt(kQuiet), tickAt(9 * kQuiet)},
         {{1024, 2}, {1024, 2}}},
    };
    const BufferPolicy::TimePoint t0{seconds(1000)};
    for (const auto& c : cases) {
        BufferPolicy policy(c.start, c.pinned, t0, c.steps);
        ASSERT_EQ(c.events.size(), c.after.size()) << c.name;
        for (std::size_t i = 0; i < c.events.size(); ++i) {
            const BufferSetting before = policy.current();
            const Event& e = c.events[i];
            bool changed = false;
            if (e.kind == Event::Tick)
                changed = policy.tick(t0 + e.at);
            else if (e.kind == Event::LateCycle)
                policy.cycleLate(t0 + e.at, e.late, kRate);
            else
                changed = policy.underflow(t0 + e.at, e.kind == Event::Underflow);
            EXPECT_EQ(toString(policy.current()), toString(c.after[i]))
                << c.name << ", event " << i;
            EXPECT_EQ(changed, !(policy.current() == before)) << c.name << ", event " << i;
        }
    }
}

}  // namespace
}  // namespace velune
