// The monitors a recording hears besides the first, mixed into it by their time: where the
// program's stream can move between sinks, what the listener hears is the sum of both.

#include <algorithm>
#include <cmath>

#include "recorder.h"

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How many samples later than the first monitor's the same moment lies in another's.
std::ptrdiff_t offsetOf(MonotonicTime first, MonotonicTime other) {
    return static_cast<std::ptrdiff_t>(
        std::llround(std::chrono::duration<double>(first - other).count() * kSampleRate));
}

}  // namespace

void Recorder::onOtherRead(pa_stream* stream, std::size_t, void* other) {
    auto* monitor = static_cast<OtherMonitor*>(other);
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) >= 0 && bytes > 0) {
        const MonotonicTime now = Clock::now();
        const std::size_t count = bytes / sizeof(float);
        std::lock_guard lock(monitor->recorder->mutex_);
        if (monitor->samples.empty()) monitor->firstArrival = now;
        if (data != nullptr) {
            monitor->samples.insert(monitor->samples.end(), static_cast<const float*>(data),
                                    static_cast<const float*>(data) + count);
        } else {
            // The server dropped what it could not keep: a hole, not the program's dropout.
            Recorder& recorder = *monitor->recorder;
            if (monitor->origin && recorder.origin_) {
                const std::ptrdiff_t begin = static_cast<std::ptrdiff_t>(monitor->samples.size()) -
                                             offsetOf(*recorder.origin_, *monitor->origin);
                const std::ptrdiff_t end = begin + static_cast<std::ptrdiff_t>(count);
                if (end > 0) {
                    recorder.holes_.push_back(
                        {static_cast<std::size_t>(std::max<std::ptrdiff_t>(begin, 0)),
                         static_cast<std::size_t>(end)});
                }
            }
            monitor->samples.insert(monitor->samples.end(), count, 0.0f);
        }
        const MonotonicTime origin = now - durationOf(monitor->samples.size());
        if (now - monitor->firstArrival >= kSettling &&
            (!monitor->origin || origin < *monitor->origin)) {
            monitor->origin = origin;
        }
        pa_stream_drop(stream);
    }
    monitor->recorder->changed_.notify_all();
}

std::size_t Recorder::sizeLocked() const {
    std::size_t size = samples_.size();
    for (const auto& other : others_) {
        if (!other->origin || !origin_) continue;
        const std::ptrdiff_t reach =
            static_cast<std::ptrdiff_t>(other->samples.size()) - offsetOf(*origin_, *other->origin);
        size = std::min(size, static_cast<std::size_t>(std::max<std::ptrdiff_t>(reach, 0)));
    }
    return size;
}

// Every other monitor, or only the `only`th of all monitors.
void Recorder::mixOthers(std::size_t begin, std::vector<float>& samples, std::size_t only) const {
    for (std::size_t monitor = 1; monitor <= others_.size(); ++monitor) {
        const auto& other = others_[monitor - 1];
        if (!other->origin || !origin_ || (only != 0 && only != monitor)) continue;
        const std::ptrdiff_t from =
            static_cast<std::ptrdiff_t>(begin) + offsetOf(*origin_, *other->origin);
        const auto available = static_cast<std::ptrdiff_t>(other->samples.size());
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const std::ptrdiff_t at = from + static_cast<std::ptrdiff_t>(i);
            if (at >= 0 && at < available)
                samples[i] += other->samples[static_cast<std::size_t>(at)];
        }
    }
}

std::vector<float> Recorder::slice(std::size_t begin, std::size_t end) const {
    std::lock_guard lock(mutex_);
    end = std::min(end, sizeLocked());
    begin = std::min(begin, end);
    std::vector<float> samples(samples_.begin() + static_cast<std::ptrdiff_t>(begin),
                               samples_.begin() + static_cast<std::ptrdiff_t>(end));
    mixOthers(begin, samples);
    return samples;
}

std::vector<float> Recorder::sliceOf(std::size_t monitor, std::size_t begin,
                                     std::size_t end) const {
    std::lock_guard lock(mutex_);
    end = std::min(end, sizeLocked());
    begin = std::min(begin, end);
    if (monitor == 0) {
        return {samples_.begin() + static_cast<std::ptrdiff_t>(begin),
                samples_.begin() + static_cast<std::ptrdiff_t>(end)};
    }
    std::vector<float> samples(end - begin, 0.0f);
    if (monitor <= others_.size()) mixOthers(begin, samples, monitor);
    return samples;
}

}  // namespace velune::rig
