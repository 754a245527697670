#include "recorder.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "audio_analysis.h"

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kChunkFrames = kSampleRate / 100;
constexpr pa_usec_t kTimingInterval = 25 * PA_USEC_PER_MSEC;
// The first second of a new record stream arrives in bursts (the idle sink renders ahead).
constexpr auto kSettling = 1s;

Clock::duration durationOf(std::size_t samples) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(samples) / kSampleRate));
}

}  // namespace

Recorder::Recorder(const std::string& address, const std::string& monitor) {
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "velune-rig");
    pa_context_set_state_callback(context_, onState, this);
    pa_threaded_mainloop_lock(loop_);
    pa_threaded_mainloop_start(loop_);
    try {
        connect(address, monitor);
    } catch (...) {
        pa_threaded_mainloop_unlock(loop_);
        close();
        throw;
    }
    pa_threaded_mainloop_unlock(loop_);
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, 10s, [this] { return failed_ || origin_.has_value(); }) ||
        failed_) {
        lock.unlock();
        close();
        throw std::runtime_error("the monitor does not stream");
    }
}

// With the main loop locked.
void Recorder::connect(const std::string& address, const std::string& monitor) {
    if (pa_context_connect(context_, address.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        throw std::runtime_error("cannot reach the audio server");
    }
    while (pa_context_get_state(context_) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
            throw std::runtime_error("the audio server refused");
        pa_threaded_mainloop_wait(loop_);
    }
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, kSampleRate, 1};
    stream_ = pa_stream_new(context_, "velune-rig monitor", &format, nullptr);
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_read_callback(stream_, onRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(kChunkFrames * sizeof(float));
    if (pa_stream_connect_record(stream_, monitor.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        throw std::runtime_error("cannot record " + monitor);
    }
    while (pa_stream_get_state(stream_) != PA_STREAM_READY) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))
            throw std::runtime_error("cannot record " + monitor);
        pa_threaded_mainloop_wait(loop_);
    }
    timer_ = pa_context_rttime_new(context_, pa_rtclock_now() + kTimingInterval, onTimer, this);
}

Recorder::~Recorder() { close(); }

void Recorder::close() {
    if (loop_ == nullptr) return;
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
    loop_ = nullptr;
}

void Recorder::onState(pa_context* context, void* self) {
    static_cast<Recorder*>(self)->noteState(PA_CONTEXT_IS_GOOD(pa_context_get_state(context)));
}

void Recorder::onStreamState(pa_stream* stream, void* self) {
    static_cast<Recorder*>(self)->noteState(PA_STREAM_IS_GOOD(pa_stream_get_state(stream)));
}

void Recorder::noteState(bool good) {
    if (!good) {
        std::lock_guard lock(mutex_);
        failed_ = true;
        changed_.notify_all();
    }
    pa_threaded_mainloop_signal(loop_, 0);
}

void Recorder::onRead(pa_stream* stream, std::size_t, void* self) {
    auto* recorder = static_cast<Recorder*>(self);
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(stream, &data, &bytes) >= 0 && bytes > 0) {
        recorder->append(data, bytes);
        pa_stream_drop(stream);
    }
    recorder->changed_.notify_all();
}

void Recorder::append(const void* data, std::size_t bytes) {
    const MonotonicTime now = Clock::now();
    std::lock_guard lock(mutex_);
    if (samples_.empty()) firstArrival_ = now;
    const std::size_t count = bytes / sizeof(float);
    if (data != nullptr) {
        samples_.insert(samples_.end(), static_cast<const float*>(data),
                        static_cast<const float*>(data) + count);
    } else {
        samples_.insert(samples_.end(), count, 0.0f);  // the server dropped what it could not keep
        ++holes_;
    }
    if (now - firstArrival_ >= kSettling) {
        const MonotonicTime origin = now - durationOf(samples_.size());
        if (!origin_ || origin < *origin_) origin_ = origin;
    }
}

void Recorder::onTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self) {
    auto* recorder = static_cast<Recorder*>(self);
    if (pa_operation* operation = pa_stream_update_timing_info(recorder->stream_, onTiming, self)) {
        pa_operation_unref(operation);
    }
    pa_context_rttime_restart(recorder->context_, event, pa_rtclock_now() + kTimingInterval);
}

void Recorder::onTiming(pa_stream* stream, int success, void* self) {
    const MonotonicTime received = Clock::now();
    const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
    if (info == nullptr || info->write_index_corrupt) return;
    auto* recorder = static_cast<Recorder*>(self);
    const auto usec = [](pa_usec_t u) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(u));
    };
    const MonotonicTime origin =
        received - usec(info->transport_usec) + usec(info->sink_usec) -
        durationOf(static_cast<std::size_t>(info->write_index) / sizeof(float));
    std::lock_guard lock(recorder->mutex_);
    recorder->answers_.push_back({received, origin, static_cast<double>(info->sink_usec) / 1000.0});
}

std::size_t Recorder::size() const {
    std::lock_guard lock(mutex_);
    return samples_.size();
}

std::vector<float> Recorder::slice(std::size_t begin, std::size_t end) const {
    std::lock_guard lock(mutex_);
    end = std::min(end, samples_.size());
    begin = std::min(begin, end);
    return {samples_.begin() + static_cast<std::ptrdiff_t>(begin),
            samples_.begin() + static_cast<std::ptrdiff_t>(end)};
}

std::size_t Recorder::indexAt(MonotonicTime t) const {
    std::lock_guard lock(mutex_);
    if (!origin_ || t <= *origin_) return 0;
    return static_cast<std::size_t>(std::chrono::duration<double>(t - *origin_).count() *
                                    kSampleRate);
}

bool Recorder::waitFor(std::size_t index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return failed_ || samples_.size() >= index; }) &&
           !failed_;
}

std::optional<std::size_t> Recorder::waitForSound(std::size_t from,
                                                  std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (std::size_t at = from; Clock::now() < deadline; at += kChunkFrames) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (!waitFor(at + kChunkFrames, left)) break;
        if (!isSilent(slice(at, at + kChunkFrames))) return at;
    }
    return std::nullopt;
}

std::optional<std::size_t> Recorder::waitForSilence(std::size_t from,
                                                    std::chrono::milliseconds hold,
                                                    std::chrono::milliseconds timeout) const {
    const auto holdSamples = static_cast<std::size_t>(hold.count()) * kSampleRate / 1000;
    const auto deadline = Clock::now() + timeout + hold;
    std::size_t start = from;
    for (std::size_t at = from; Clock::now() < deadline; at += kChunkFrames) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (!waitFor(at + kChunkFrames, left)) break;
        if (!isSilent(slice(at, at + kChunkFrames))) start = at + kChunkFrames;
        if (at + kChunkFrames - start >= holdSamples) return start;
    }
    return std::nullopt;
}

std::vector<TimingAnswer> Recorder::timingAnswers() const {
    std::lock_guard lock(mutex_);
    return answers_;
}

std::size_t Recorder::holes() const {
    std::lock_guard lock(mutex_);
    return holes_;
}

bool saveWav(const std::filesystem::path& file, const std::vector<float>& samples) {
    std::ofstream out(file, std::ios::binary);
    const auto put32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto put16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<std::uint32_t>(samples.size() * sizeof(float));
    out.write("RIFF", 4);
    put32(36 + bytes);
    out.write("WAVEfmt ", 8);
    put32(16);
    put16(3);  // IEEE float, mono
    put16(1);
    put32(kSampleRate);
    put32(kSampleRate * sizeof(float));
    put16(sizeof(float));
    put16(32);
    out.write("data", 4);
    put32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
    return static_cast<bool>(out);
}

}  // namespace velune::rig
