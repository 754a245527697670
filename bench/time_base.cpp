#include "time_base.h"

#include <algorithm>
#include <cmath>

#include "audio_analysis.h"

namespace velune::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStaleStart = 2s;
constexpr auto kWindow = 5s;
constexpr std::size_t kMinimumAnswers = 20;
// With no program playing the null sink renders up to two seconds ahead.
constexpr double kIdleSinkLatencyMs = 500;
constexpr auto kIdleNeighbourhood = 3s;
// The sink renders when its timer fires; a late timer is not reported.
constexpr double kTimerSlackMs = 0.05;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double quantile(const std::vector<double>& sorted, double q) {
    const double at = q * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (at - static_cast<double>(below));
}

}  // namespace

double TimeBase::indexAt(rig::MonotonicTime t) const {
    return std::chrono::duration<double>(t - origin).count() * rig::kSampleRate;
}

rig::MonotonicTime TimeBase::timeOf(double index) const {
    return origin + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(index / rig::kSampleRate));
}

std::optional<TimeBase> timeBaseAround(const std::vector<rig::TimingAnswer>& answers,
                                       rig::MonotonicTime around) {
    if (answers.empty()) return std::nullopt;
    std::vector<rig::MonotonicTime> idle;  // in the order received
    for (const rig::TimingAnswer& a : answers) {
        if (a.sinkLatencyMs >= kIdleSinkLatencyMs) idle.push_back(a.received);
    }
    const auto idleNear = [&](rig::MonotonicTime t) {
        const auto next = std::lower_bound(idle.begin(), idle.end(), t - kIdleNeighbourhood);
        return next != idle.end() && *next < t + kIdleNeighbourhood;
    };
    // Offsets from the time of the press, in milliseconds.
    std::vector<double> origins;
    for (const rig::TimingAnswer& a : answers) {
        if (a.received < answers.front().received + kStaleStart) continue;
        if (a.received < around - kWindow || a.received > around + kWindow || idleNear(a.received))
            continue;
        origins.push_back(ms(a.origin - around));
    }
    if (origins.size() < kMinimumAnswers) return std::nullopt;
    std::sort(origins.begin(), origins.end());
    const auto lowest = std::chrono::duration<double, std::milli>(quantile(origins, 0.01));
    return TimeBase{around + std::chrono::duration_cast<Clock::duration>(lowest),
                    quantile(origins, 0.1) - quantile(origins, 0.01) + kTimerSlackMs};
}

}  // namespace velune::bench
