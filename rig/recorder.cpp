#include "recorder.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include "audio_analysis.h"

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kChunkFrames = kSampleRate / 100;
// While its sink is suspended the recording is filled with silence up to this long ago: later
// than that the sink may have woken already, and its sound would come after the silence.
constexpr auto kFillBehind = 50ms;

void unref(pa_operation* operation) {
    if (operation != nullptr) pa_operation_unref(operation);
}

}  // namespace

Clock::duration Recorder::durationOf(std::size_t samples) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(samples) / kSampleRate));
}

Recorder::Recorder(const AudioServer& server) {
    if (server.kind() == ServerKind::PipeWire) {
        connectPipeWire(server);
    } else {
        loop_ = pa_threaded_mainloop_new();
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "velune-rig");
        pa_context_set_state_callback(context_, onState, this);
        pa_threaded_mainloop_lock(loop_);
        pa_threaded_mainloop_start(loop_);
        try {
            connect(server.recordingAddress(), server.monitorSources());
        } catch (...) {
            pa_threaded_mainloop_unlock(loop_);
            close();
            throw;
        }
        pa_threaded_mainloop_unlock(loop_);
    }
    std::unique_lock lock(mutex_);
    const auto settled = [this] {
        return origin_.has_value() && std::all_of(others_.begin(), others_.end(),
                                                  [](const auto& other) { return other->origin; });
    };
    if (!changed_.wait_for(lock, 10s, [&] { return failed_ || settled(); }) || failed_) {
        lock.unlock();
        close();
        throw std::runtime_error("the monitor does not stream");
    }
}

// With the main loop locked.
void Recorder::connect(const std::string& address, const std::vector<std::string>& monitors) {
    if (pa_context_connect(context_, address.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        throw std::runtime_error("cannot reach the audio server");
    }
    while (pa_context_get_state(context_) != PA_CONTEXT_READY) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)))
            throw std::runtime_error("the audio server refused");
        pa_threaded_mainloop_wait(loop_);
    }
    stream_ = record(monitors.at(0), onRead, this);
    pa_stream_set_suspended_callback(stream_, onSuspended, this);
    for (std::size_t i = 1; i < monitors.size(); ++i) {
        others_.push_back(std::make_unique<OtherMonitor>());
        others_.back()->recorder = this;
        others_.back()->stream = record(monitors[i], onOtherRead, others_.back().get());
    }
    timer_ = pa_context_rttime_new(context_, pa_rtclock_now() + kTimingIntervalMs * PA_USEC_PER_MSEC,
                                   onTimer, this);
    // A null sink with nothing to play renders two seconds ahead at a time, and its monitor
    // sends nothing until that block ends: the recording would wait up to two seconds for its
    // first samples. A sink woken from suspension starts its blocks from now.
    for (const std::string& monitor : monitors) {
        const std::string sink = monitor.substr(0, monitor.rfind(".monitor"));
        for (int suspend : {1, 0}) {
            unref(pa_context_suspend_sink_by_name(context_, sink.c_str(), suspend, nullptr,
                                                  nullptr));
        }
    }
}

// A record stream of `monitor` whose samples go to `onData`, connected. It does not keep an
// idle sink awake: it listens as a person in the room does; and it stays with its sink when
// another becomes the default (the server moves a stream of the default sink's monitor with it).
pa_stream* Recorder::record(const std::string& monitor, pa_stream_request_cb_t onData, void* data) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, kSampleRate, 1};
    pa_stream* stream = pa_stream_new(context_, "velune-rig monitor", &format, nullptr);
    if (stream == nullptr) throw std::runtime_error("cannot record " + monitor);
    pa_stream_set_state_callback(stream, onStreamState, this);
    pa_stream_set_read_callback(stream, onData, data);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(kChunkFrames * sizeof(float));
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND | PA_STREAM_DONT_MOVE);
    bool good = pa_stream_connect_record(stream, monitor.c_str(), &attr, flags) == 0;
    while (good && pa_stream_get_state(stream) != PA_STREAM_READY) {
        good = PA_STREAM_IS_GOOD(pa_stream_get_state(stream));
        if (good) pa_threaded_mainloop_wait(loop_);
    }
    if (!good) {
        pa_stream_unref(stream);
        throw std::runtime_error("cannot record " + monitor);
    }
    return stream;
}

Recorder::~Recorder() { close(); }

void Recorder::close() {
    if (pwLoop_ != nullptr) {
        pw_thread_loop_lock(pwLoop_);
        if (pwStream_ != nullptr) pw_stream_destroy(pwStream_);
        pw_thread_loop_unlock(pwLoop_);
        pw_thread_loop_stop(pwLoop_);
        pw_thread_loop_destroy(pwLoop_);
        pwLoop_ = nullptr;
    }
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_lock(loop_);
    if (timer_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
    if (stream_ != nullptr) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    for (const auto& other : others_) {
        pa_stream_disconnect(other->stream);
        pa_stream_unref(other->stream);
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

void Recorder::onSuspended(pa_stream* stream, void* self) {
    auto* recorder = static_cast<Recorder*>(self);
    std::lock_guard lock(recorder->mutex_);
    recorder->suspended_ = pa_stream_is_suspended(stream) == 1;
    if (!recorder->suspended_) recorder->catchUp_ = true;
}

void Recorder::fillTo(std::size_t index) {
    if (index <= samples_.size()) return;
    holes_.push_back({samples_.size(), index});
    filled_.push_back({sent_, index - samples_.size()});
    samples_.resize(index, 0.0f);
}

void Recorder::append(const void* data, std::size_t bytes) {
    const MonotonicTime now = Clock::now();
    std::lock_guard lock(mutex_);
    if (samples_.empty()) firstArrival_ = now;
    const std::size_t count = bytes / sizeof(float);
    if ((suspended_ || catchUp_) && origin_) {
        // The sink woke: it sends what it played just now.
        const std::size_t start = indexAtLocked(now);
        if (start > count) {
            fillTo(start - count);
            if (resumed_) ++pauses_;
        }
    }
    suspended_ = catchUp_ = resumed_ = false;
    sent_ += count;
    if (data != nullptr) {
        samples_.insert(samples_.end(), static_cast<const float*>(data),
                        static_cast<const float*>(data) + count);
    } else {
        holes_.push_back({samples_.size(), samples_.size() + count});
        samples_.insert(samples_.end(), count, 0.0f);  // the server dropped what it could not keep
    }
    if (now - firstArrival_ >= kSettling) {
        const MonotonicTime origin = now - durationOf(samples_.size());
        if (!origin_ || origin < *origin_) origin_ = origin;
    }
}

void Recorder::onTimer(pa_mainloop_api*, pa_time_event* event, const struct timeval*, void* self) {
    auto* recorder = static_cast<Recorder*>(self);
    {
        std::lock_guard lock(recorder->mutex_);
        if (recorder->suspended_ && recorder->origin_) {
            recorder->fillTo(recorder->indexAtLocked(Clock::now() - kFillBehind));
            recorder->changed_.notify_all();
        }
    }
    unref(pa_stream_update_timing_info(recorder->stream_, onTiming, self));
    pa_context_rttime_restart(recorder->context_, event,
                              pa_rtclock_now() + kTimingIntervalMs * PA_USEC_PER_MSEC);
}

void Recorder::onTiming(pa_stream* stream, int success, void* self) {
    const MonotonicTime received = Clock::now();
    const pa_timing_info* info = success ? pa_stream_get_timing_info(stream) : nullptr;
    if (info == nullptr || info->write_index_corrupt) return;
    auto* recorder = static_cast<Recorder*>(self);
    const auto usec = [](pa_usec_t u) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(u));
    };
    std::lock_guard lock(recorder->mutex_);
    // The server's write index counts what it sent; the recording holds the silence filled in
    // for a suspended sink besides.
    const std::size_t sent = static_cast<std::size_t>(info->write_index) / sizeof(float);
    std::size_t written = sent;
    for (const Filled& filled : recorder->filled_) {
        if (filled.sent <= sent) written += filled.count;
    }
    const MonotonicTime origin =
        received - usec(info->transport_usec) + usec(info->sink_usec) - durationOf(written);
    recorder->answers_.push_back({received, origin, static_cast<double>(info->sink_usec) / 1000.0});
}

std::size_t Recorder::size() const {
    std::lock_guard lock(mutex_);
    return sizeLocked();
}

std::size_t Recorder::indexAt(MonotonicTime t) const {
    std::lock_guard lock(mutex_);
    return indexAtLocked(t);
}

std::size_t Recorder::indexAtLocked(MonotonicTime t) const {
    if (!origin_ || t <= *origin_) return 0;
    return static_cast<std::size_t>(std::chrono::duration<double>(t - *origin_).count() *
                                    kSampleRate);
}

bool Recorder::waitFor(std::size_t index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return failed_ || sizeLocked() >= index; }) &&
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
    return holes_.size() - pauses_;
}

void Recorder::cork(bool corked) {
    pa_threaded_mainloop_lock(loop_);
    unref(pa_stream_cork(stream_, corked ? 1 : 0, nullptr, nullptr));
    pa_threaded_mainloop_unlock(loop_);
}

void Recorder::pause() {
    if (stream_ != nullptr) cork(true);
}

void Recorder::resume() {
    if (stream_ == nullptr) return;
    {
        // The first samples after it are what the sink plays then.
        std::lock_guard lock(mutex_);
        catchUp_ = resumed_ = true;
    }
    cork(false);
}

std::vector<Dropout> Recorder::dropouts(std::size_t begin, std::size_t end) const {
    std::vector<Dropout> found = findDropouts(slice(begin, end));
    std::lock_guard lock(mutex_);
    std::erase_if(found, [&](Dropout& dropout) {
        dropout.begin += begin, dropout.end += begin;
        return std::any_of(holes_.begin(), holes_.end(), [&](const Dropout& hole) {
            return hole.begin < dropout.end && dropout.begin < hole.end;
        });
    });
    return found;
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
