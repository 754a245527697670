#include "time_base.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "audio_analysis.h"

namespace velune::rig {
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
// Where a note started after a key is looked for.
constexpr auto kAfter = 300ms;
// The drift of the sink's clock is taken from the lowest answer of each second.
constexpr double kBinMs = 1000;
constexpr std::size_t kAnswersPerBin = 10;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double quantile(const std::vector<double>& sorted, double q) {
    const double at = q * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (at - static_cast<double>(below));
}

// The frames of the cycles the graph ran most often in the stretch after `around` (0 on
// PulseAudio, which has no cycles).
std::size_t cycleAfter(const std::vector<TimingAnswer>& answers, MonotonicTime around) {
    std::map<std::size_t, int> seen;
    for (const TimingAnswer& a : answers) {
        if (a.received >= around && a.received < around + kAfter) ++seen[a.cycleFrames];
    }
    const auto most = std::max_element(
        seen.begin(), seen.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    return most == seen.end() ? 0 : most->first;
}

// How fast the origins move, in ms per ms: a sink at 44.1 or 48 kHz whose clients ask for ~1 ms
// buffers plays up to 0.17 % more samples than the monotonic clock lets pass, so that its origin
// moves earlier by up to 1.7 ms a second. The median of the slopes between the lowest answers of
// each second (Theil-Sen): a second of late answers does not tilt it.
double driftOf(const std::vector<std::pair<double, double>>& answers) {
    std::map<long, std::pair<double, std::size_t>> lowest;  // by second: lowest origin, count
    for (const auto& [at, origin] : answers) {
        auto& bin =
            lowest.try_emplace(std::lround(std::floor(at / kBinMs)), origin, 0).first->second;
        bin.first = std::min(bin.first, origin);
        ++bin.second;
    }
    std::vector<std::pair<double, double>> points;
    for (const auto& [second, bin] : lowest) {
        if (bin.second >= kAnswersPerBin)
            points.push_back({(static_cast<double>(second) + 0.5) * kBinMs, bin.first});
    }
    std::vector<double> slopes;
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t j = i + 1; j < points.size(); ++j)
            slopes.push_back((points[j].second - points[i].second) /
                             (points[j].first - points[i].first));
    }
    if (slopes.empty()) return 0;
    std::sort(slopes.begin(), slopes.end());
    return quantile(slopes, 0.5);
}

}  // namespace

double TimeBase::indexAt(MonotonicTime t) const {
    return std::chrono::duration<double>(t - origin).count() * kSampleRate;
}

MonotonicTime TimeBase::timeOf(double index) const {
    return origin + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(index / kSampleRate));
}

std::optional<TimeBase> timeBaseAround(const std::vector<TimingAnswer>& answers,
                                       MonotonicTime around) {
    if (answers.empty()) return std::nullopt;
    std::vector<MonotonicTime> idle;  // in the order received
    for (const TimingAnswer& a : answers) {
        if (a.sinkLatencyMs >= kIdleSinkLatencyMs) idle.push_back(a.received);
    }
    const auto idleNear = [&](MonotonicTime t) {
        const auto next = std::lower_bound(idle.begin(), idle.end(), t - kIdleNeighbourhood);
        return next != idle.end() && *next < t + kIdleNeighbourhood;
    };
    const std::size_t cycle = cycleAfter(answers, around);
    // When each answer came and the origin it gives, in milliseconds from the time of the press.
    std::vector<std::pair<double, double>> kept;
    for (const TimingAnswer& a : answers) {
        if (a.received < answers.front().received + kStaleStart || a.cycleFrames != cycle) continue;
        if (a.received < around - kWindow || a.received > around + kWindow || idleNear(a.received))
            continue;
        kept.push_back({ms(a.received - around), ms(a.origin - around)});
    }
    if (kept.size() < kMinimumAnswers) return std::nullopt;
    // Each origin as it would have been at the press, the sink's drift taken out.
    const double drift = driftOf(kept);
    std::vector<double> origins;
    for (const auto& [at, origin] : kept) origins.push_back(origin - drift * at);
    std::sort(origins.begin(), origins.end());
    const auto lowest = std::chrono::duration<double, std::milli>(quantile(origins, 0.01));
    return TimeBase{around + std::chrono::duration_cast<Clock::duration>(lowest),
                    quantile(origins, 0.1) - quantile(origins, 0.01) + kTimerSlackMs};
}

}  // namespace velune::rig
