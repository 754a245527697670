// The recording of a PipeWire sink: a stream of the graph's own, each cycle placed by the
// graph's clock.

#include <pipewire/pipewire.h>
#include <pthread.h>
#include <sched.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "audio_analysis.h"
#include "recorder.h"

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;

// How far the graph's clock may run ahead of the time between two cycles (a driver that
// follows a device adjusts its rate a little).
constexpr std::size_t kClockSlack = kSampleRate / 1000;

}  // namespace

void Recorder::connectPipeWire(const AudioServer& server) {
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* self, pw_stream_state, pw_stream_state state, const char*) {
            auto* recorder = static_cast<Recorder*>(self);
            if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
                std::lock_guard lock(recorder->mutex_);
                recorder->failed_ = true;
                recorder->changed_.notify_all();
            }
        };
        e.process = onPipeWireProcess;
        return e;
    }();
    pw_init(nullptr, nullptr);
    pwLoop_ = pw_thread_loop_new("velune-rig", nullptr);
    const std::string socket = server.pipewireSocket().string();
    const std::string sink = server.sink();
    // PipeWire's default quantum: the graph runs at whatever shorter one the program asks for.
    const std::string latency = "1024/" + std::to_string(kSampleRate);
    pw_thread_loop_lock(pwLoop_);
    pwStream_ = pw_stream_new_simple(
        pw_thread_loop_get_loop(pwLoop_), "velune-rig monitor",
        pw_properties_new(PW_KEY_REMOTE_NAME, socket.c_str(), PW_KEY_MEDIA_TYPE, "Audio",
                          PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_TARGET_OBJECT, sink.c_str(),
                          PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_NODE_LATENCY, latency.c_str(),
                          nullptr),
        &events, this);
    std::uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kSampleRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int result =
        pwStream_ == nullptr
            ? -1
            : pw_stream_connect(pwStream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                                static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                             PW_STREAM_FLAG_MAP_BUFFERS |
                                                             PW_STREAM_FLAG_RT_PROCESS),
                                params, 1);
    if (result == 0) pw_thread_loop_start(pwLoop_);
    pw_thread_loop_unlock(pwLoop_);
    if (result != 0) {
        close();
        throw std::runtime_error("cannot record " + sink + " through PipeWire");
    }
}

// One cycle of the graph (its data thread): the samples the sink played in it, placed by the
// graph's clock, so that a cycle the recording missed leaves a hole rather than shifting what
// comes after it.
void Recorder::onPipeWireProcess(void* self) {
    auto* recorder = static_cast<Recorder*>(self);
    if (!recorder->realtime_) {
        // Ahead of the load a test puts on the machine, as a sound server's own threads are.
        sched_param param{};
        param.sched_priority = kRealtimePriority;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
        recorder->realtime_ = true;
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(recorder->pwStream_);
    if (buffer == nullptr) return;
    pw_time time{};
    const spa_data& data = buffer->buffer->datas[0];
    if (pw_stream_get_time_n(recorder->pwStream_, &time, sizeof time) == 0 &&
        time.rate.denom != 0 && data.data != nullptr && data.chunk != nullptr) {
        const std::size_t count = data.chunk->size / sizeof(float);
        const auto* samples =
            static_cast<const float*>(SPA_PTROFF(data.data, data.chunk->offset, void));
        recorder->appendPlayed(samples, count, time.ticks,
                               static_cast<double>(time.rate.num) * kSampleRate / time.rate.denom,
                               MonotonicTime(std::chrono::nanoseconds(time.now)));
    }
    pw_stream_queue_buffer(recorder->pwStream_, buffer);
    recorder->changed_.notify_all();
}

void Recorder::appendPlayed(const float* data, std::size_t count, std::uint64_t ticks,
                            double samplesPerTick, MonotonicTime played) {
    const MonotonicTime now = Clock::now();
    std::lock_guard lock(mutex_);
    if (samples_.empty()) {
        firstArrival_ = now;
        firstTicks_ = ticks;
    }
    std::size_t index = static_cast<std::size_t>(
        std::llround(static_cast<double>(ticks - firstTicks_) * samplesPerTick) - skippedTicks_);
    if (index > samples_.size() && playedEnd_) {
        // When a node asks for another quantum, the graph's clock jumps ahead by up to the
        // difference of the two quanta in a cycle that comes no later than the last one ended:
        // no sound was lost there, and a hole would cut into a note. Only what the time between
        // the cycles accounts for is a hole.
        const auto byTime =
            samples_.size() +
            static_cast<std::size_t>(std::max<double>(
                0, std::chrono::duration<double>(played - *playedEnd_).count() * kSampleRate));
        if (index > byTime + kClockSlack) {
            skippedTicks_ += static_cast<std::int64_t>(index - byTime);
            index = byTime;
        }
    }
    if (index > samples_.size()) {
        holes_.push_back({samples_.size(), index});  // cycles that passed without the recording
        samples_.resize(index, 0.0f);
    } else if (index < samples_.size()) {
        const std::size_t overlap = std::min(count, samples_.size() - index);
        data += overlap, count -= overlap, index += overlap;
        played += durationOf(overlap);
    }
    const MonotonicTime origin = played - durationOf(index);
    if (now - lastAnswer_ >= std::chrono::milliseconds(kTimingIntervalMs)) {
        answers_.push_back({now, origin, 0.0, count});
        lastAnswer_ = now;
    }
    if (now - firstArrival_ >= kSettling && (!origin_ || origin < *origin_)) origin_ = origin;
    samples_.insert(samples_.end(), data, data + count);
    playedEnd_ = played + durationOf(count);
}

}  // namespace velune::rig
