#include "timed_recorder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>

namespace velune::bench {
namespace {

// How often the stream's timing is asked for.
constexpr pa_usec_t kTimingInterval = 25 * PA_USEC_PER_MSEC;
// The first answers of a new record stream can be stale by 100-250 ms; these are left out.
constexpr auto kStaleStart = std::chrono::seconds(2);
constexpr std::size_t kMinimumAnswers = 20;
// With no program playing, the null sink renders up to two seconds ahead, and when it changes
// between that and a program's latency its monitor hands on samples it has not played yet.
// Answers and chunks within a few seconds of such an idle sink are left out.
constexpr double kIdleSinkLatency = 0.5;
constexpr double kIdleNeighbourhood = 3.0;
// The sink renders when its timer fires; a late timer is not reported and delays the sink's
// clock by up to this much.
constexpr double kTimerSlackMs = 0.05;

using Nanoseconds = std::chrono::nanoseconds;

Nanoseconds fromSeconds(double seconds) {
    return std::chrono::duration_cast<Nanoseconds>(std::chrono::duration<double>(seconds));
}

double quantile(const std::vector<double>& sorted, double q) {
    const double at = q * static_cast<double>(sorted.size() - 1);
    const auto below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (at - static_cast<double>(below));
}

// Least-squares slope of y over x.
double slope(const std::vector<double>& x, const std::vector<double>& y) {
    double mx = 0, my = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        mx += x[i];
        my += y[i];
    }
    mx /= static_cast<double>(x.size());
    my /= static_cast<double>(y.size());
    double sxy = 0, sxx = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    return sxx > 0 ? sxy / sxx : 0;
}

}  // namespace

// How fast the sink's clock runs against the monotonic one: the slope of the origin estimates,
// the median of each two seconds.
double TimedRecorder::drift(const std::vector<Answer>& answers) {
    std::map<long, std::vector<double>> bins;
    for (const Answer& a : answers) bins[std::lround(a.received / 2)].push_back(a.origin);
    std::vector<double> x, y;
    for (auto& [bin, origins] : bins) {
        std::sort(origins.begin(), origins.end());
        x.push_back(static_cast<double>(bin) * 2);
        y.push_back(quantile(origins, 0.5));
    }
    return x.size() >= 3 ? slope(x, y) : 0;
}

double TimeBase::indexAt(Clock::time_point t) const {
    return std::chrono::duration<double>(t - origin).count() * rate;
}

Clock::time_point TimeBase::timeOf(double index) const {
    return origin + fromSeconds(index / rate);
}

TimedRecorder::TimedRecorder(const std::string& server, const std::string& source, unsigned rate)
    : rate_(rate), started_(Clock::now()) {
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "velune-bench");
    pa_context_set_state_callback(context_, onContextState, this);
    pa_threaded_mainloop_lock(loop_);
    pa_threaded_mainloop_start(loop_);
    if (pa_context_connect(context_, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        pa_threaded_mainloop_unlock(loop_);
        throw std::runtime_error("cannot reach the audio server");
    }
    while (pa_context_get_state(context_) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
            pa_threaded_mainloop_unlock(loop_);
            throw std::runtime_error("the audio server refused the connection");
        }
        pa_threaded_mainloop_wait(loop_);
    }

    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, rate, 1};
    stream_ = pa_stream_new(context_, "velune-bench monitor", &sampleFormat, nullptr);
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_read_callback(stream_, onRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(rate / 100 * sizeof(float));
    if (pa_stream_connect_record(stream_, source.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        pa_threaded_mainloop_unlock(loop_);
        throw std::runtime_error("cannot record " + source);
    }
    while (pa_stream_get_state(stream_) != PA_STREAM_READY) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
            pa_threaded_mainloop_unlock(loop_);
            throw std::runtime_error("cannot record " + source);
        }
        pa_threaded_mainloop_wait(loop_);
    }
    timer_ = pa_context_rttime_new(context_, pa_rtclock_now() + kTimingInterval, onTimer, this);
    pa_threaded_mainloop_unlock(loop_);
}

TimedRecorder::~TimedRecorder() {
    pa_threaded_mainloop_lock(loop_);
    if (timer_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
    if (stream_ != nullptr) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void TimedRecorder::onContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<TimedRecorder*>(self)->loop_, 0);
}

void TimedRecorder::onStreamState(pa_stream* stream, void* self) {
    auto* recorder = static_cast<TimedRecorder*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
        std::lock_guard lock(recorder->mutex_);
        recorder->failed_ = true;
        recorder->changed_.notify_all();
    }
    pa_threaded_mainloop_signal(recorder->loop_, 0);
}

void TimedRecorder::onRead(pa_stream* stream, std::size_t, void* self) {
    auto* recorder = static_cast<TimedRecorder*>(self);
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
        const Clock::time_point arrived = Clock::now();
        {
            std::lock_guard lock(recorder->mutex_);
            auto& samples = recorder->samples_;
            const std::size_t count = bytes / sizeof(float);
            if (data != nullptr) {
                const auto* first = static_cast<const float*>(data);
                samples.insert(samples.end(), first, first + count);
            } else {
                samples.insert(samples.end(), count, 0.0f);  // the server dropped what it could not keep
                ++recorder->holes_;
            }
            const double at = recorder->secondsSinceStart(arrived);
            recorder->chunks_.push_back({at, samples.size()});
        }
        pa_stream_drop(stream);
    }
    recorder->changed_.notify_all();
}

void TimedRecorder::onTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self) {
    auto* recorder = static_cast<TimedRecorder*>(self);
    if (pa_operation* operation = pa_stream_update_timing_info(recorder->stream_, onTiming, self)) {
        pa_operation_unref(operation);
    }
    pa_context_rttime_restart(recorder->context_, event, pa_rtclock_now() + kTimingInterval);
}

void TimedRecorder::onTiming(pa_stream* stream, int success, void* self) {
    const Clock::time_point received = Clock::now();
    const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
    if (info != nullptr && !info->write_index_corrupt) {
        static_cast<TimedRecorder*>(self)->addAnswer(*info, received);
    }
}

double TimedRecorder::secondsSinceStart(Clock::time_point t) const {
    return std::chrono::duration<double>(t - started_).count();
}

void TimedRecorder::addAnswer(const pa_timing_info& info, Clock::time_point received) {
    const double answered = secondsSinceStart(received) - static_cast<double>(info.transport_usec) / 1e6;
    const double handedOn = static_cast<double>(info.write_index) / sizeof(float) / rate_;
    const double sinkLatency = static_cast<double>(info.sink_usec) / 1e6;
    std::lock_guard lock(mutex_);
    answers_.push_back({secondsSinceStart(received), answered + sinkLatency - handedOn, sinkLatency});
    changed_.notify_all();
}

std::size_t TimedRecorder::holes() const {
    std::lock_guard lock(mutex_);
    return holes_;
}

std::size_t TimedRecorder::size() const {
    std::lock_guard lock(mutex_);
    return samples_.size();
}

std::vector<float> TimedRecorder::slice(std::size_t begin, std::size_t end) const {
    std::lock_guard lock(mutex_);
    end = std::min(end, samples_.size());
    begin = std::min(begin, end);
    return {samples_.begin() + static_cast<std::ptrdiff_t>(begin),
            samples_.begin() + static_cast<std::ptrdiff_t>(end)};
}

bool TimedRecorder::waitFor(std::size_t index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return failed_ || samples_.size() >= index; }) &&
           !failed_;
}

bool TimedRecorder::waitUntilSettled(std::chrono::milliseconds timeout) const {
    const double stale = std::chrono::duration<double>(kStaleStart).count();
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        const auto settled = std::count_if(answers_.begin(), answers_.end(),
                                           [&](const Answer& a) { return a.received >= stale; });
        return failed_ || static_cast<std::size_t>(settled) >= kMinimumAnswers;
    }) && !failed_;
}

std::optional<TimeBase> TimedRecorder::timeBase(std::optional<Clock::time_point> around,
                                                std::chrono::seconds window) const {
    std::lock_guard lock(mutex_);
    const double stale = std::chrono::duration<double>(kStaleStart).count();
    const double span = std::chrono::duration<double>(window).count();
    const double centre = around ? secondsSinceStart(*around) : 0;
    // Left out: the stale start, and the time around an idle sink.
    std::vector<double> idle;
    for (const Answer& a : answers_) {
        if (a.sinkLatency >= kIdleSinkLatency) idle.push_back(a.received);
    }
    std::vector<Answer> picked;
    for (const Answer& a : answers_) {
        if (a.received < stale || (around && std::abs(a.received - centre) > span)) continue;
        const auto next = std::lower_bound(idle.begin(), idle.end(), a.received - kIdleNeighbourhood);
        if (next == idle.end() || *next > a.received + kIdleNeighbourhood) picked.push_back(a);
    }
    if (picked.size() < kMinimumAnswers) return std::nullopt;

    std::vector<double> origins, latencies;
    for (const Answer& a : picked) {
        origins.push_back(a.origin);
        latencies.push_back(a.sinkLatency);
    }
    std::sort(origins.begin(), origins.end());
    TimeBase base;
    base.rate = rate_;
    base.answers = picked.size();
    // Every delay on the server's side makes an estimate later, none makes it earlier: the
    // lowest estimates are the true ones.
    base.origin = started_ + fromSeconds(quantile(origins, 0.01));
    base.errorMs = (quantile(origins, 0.1) - quantile(origins, 0.01)) * 1e3 + kTimerSlackMs;
    base.driftPpm = drift(picked) * 1e6;
    base.sinkLatencyMs = *std::max_element(latencies.begin(), latencies.end()) * 1e3;
    return base;
}

}  // namespace velune::bench
