// When the sink played each sample, from the recorder's timing answers: on PulseAudio the
// lowest answers hold; on PipeWire only those of the quantum the graph ran at after the key.

#include "time_base.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace velune::e2e {
namespace {

using namespace velune::rig;
using namespace std::chrono_literals;

struct Answers {
    const char* name;
    // The cycle an answer received this long after the key came with (0: PulseAudio).
    std::function<std::size_t(std::chrono::milliseconds)> cycleAt;
    // How late each answer is, beyond what its cycle places the recording by.
    std::function<double(std::chrono::milliseconds)> lateMsAt;
    std::optional<double> originMs;  // from the key; nothing when too few answers count
};

// PipeWire's clock gives an origin 17.92 ms earlier at a 1024-frame quantum than at 128.
double placedMs(std::size_t cycle) { return cycle == 1024 ? -17.92 : 0.0; }

TEST(TimeBase, TakeTheLowestAnswersOfTheQuantumAfterTheKey) {
    const auto never = [](std::chrono::milliseconds) { return 0.0; };
    const std::vector<Answers> rows{
        {"PulseAudio, every fifth answer late", [](auto) -> std::size_t { return 0; },
         [](std::chrono::milliseconds t) { return t.count() % 125 == 0 ? 3.0 : 0.0; }, 0.0},
        {"PulseAudio at 44.1 kHz, its clock 0.15 % fast, every fifth answer late",
         [](auto) -> std::size_t { return 0; },
         [](std::chrono::milliseconds t) {
             return -0.0015 * static_cast<double>(t.count()) + (t.count() % 125 == 0 ? 3.0 : 0.0);
         },
         0.0},
        {"PipeWire at 128 from before the key on, at rest (1024) a second after",
         [](std::chrono::milliseconds t) -> std::size_t { return t > -2s && t < 1s ? 128 : 1024; },
         never, 0.0},
        {"PipeWire at 1024 while the key sounds, at 128 around it",
         [](std::chrono::milliseconds t) -> std::size_t { return t > -1s && t < 3s ? 1024 : 128; },
         never, -17.92},
        {"PipeWire at 128 for too short a stretch after the key",
         [](std::chrono::milliseconds t) -> std::size_t {
             return t >= 0s && t < 400ms ? 128 : 1024;
         },
         never, std::nullopt},
    };
    const MonotonicTime key = std::chrono::steady_clock::now();
    for (const Answers& row : rows) {
        std::vector<TimingAnswer> answers;
        for (auto t = -10000ms; t <= 10000ms; t += 25ms) {
            const std::size_t cycle = row.cycleAt(t);
            const auto origin =
                std::chrono::duration<double, std::milli>(placedMs(cycle) + row.lateMsAt(t));
            answers.push_back({key + t,
                               key + std::chrono::duration_cast<std::chrono::nanoseconds>(origin),
                               0.0, cycle});
        }
        const std::optional<TimeBase> base = timeBaseAround(answers, key);
        ASSERT_EQ(base.has_value(), row.originMs.has_value()) << row.name;
        if (!base) continue;
        const double originMs =
            std::chrono::duration<double, std::milli>(base->origin - key).count();
        EXPECT_NEAR(originMs, *row.originMs, 0.01) << row.name;
    }
}

}  // namespace
}  // namespace velune::e2e
