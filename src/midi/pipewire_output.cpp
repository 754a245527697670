#include "pipewire_output.h"

#include <fluidsynth.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "buffer_policy.h"
#include "diagnostics.h"

namespace velune {
namespace {

constexpr unsigned kChannels = 2;
constexpr std::size_t kFrameBytes = kChannels * sizeof(float);
constexpr auto kStartTimeout = std::chrono::seconds(2);
// The quantum asked for at rest, unless the playing one is longer: the graph runs a few cycles
// for silence (about 190 a second), and the note that ends the rest waits for one of them, 5 ms
// at 48 kHz, no longer than a note does while playing on a busy machine.
constexpr unsigned kRestQuantum = 256;

void logAudio(LogLevel level, const std::string& text) { logMessage(LogArea::Audio, level, text); }

}  // namespace

bool CycleWatch::cycle(std::uint64_t ticks, std::size_t frames, double ticksPerFrame) {
    const bool first = lastTicks_ == 0;
    const bool changed = frames != lastFrames_;
    const std::uint64_t elapsed = ticks - lastTicks_;
    lastTicks_ = ticks;
    lastFrames_ = frames;
    settled_ = false;
    if (first) return false;
    if (changed) {
        settling_ = kSettlingCycles;
        return false;
    }
    if (settling_ > 0) {
        --settling_;
        return false;
    }
    settled_ = true;
    // More than one cycle, with some slack for a clock that follows a device.
    return static_cast<double>(elapsed) > 1.5 * static_cast<double>(frames) * ticksPerFrame;
}

std::unique_ptr<PipeWireOutput> PipeWireOutput::open(fluid_synth_t* synth, unsigned rate,
                                                     const BufferPolicy& policy) {
    pw_init(nullptr, nullptr);
    std::unique_ptr<PipeWireOutput> output(new PipeWireOutput);
    output->synth_ = synth;
    output->rate_ = rate;
    output->policy_.emplace(policy);
    output->loop_ = pw_thread_loop_new("velune-pipewire", nullptr);
    if (output->loop_ == nullptr || !output->connect()) return nullptr;
    output->logBuffer("playing through PipeWire", policy.current());
    return output;
}

// PipeWire's node.latency: the quantum asked for, as frames/rate.
std::string PipeWireOutput::latency() const {
    return std::to_string(policy_->current().periodFrames) + "/" + std::to_string(rate_);
}

void PipeWireOutput::logBuffer(const char* why, const BufferSetting& setting) const {
    logAudio(LogLevel::Info, std::string(why) + ": buffer " + toString(setting) + " at " +
                                 std::to_string(rate_) + " Hz" +
                                 (policy_->pinned() ? " (pinned)" : ""));
}

bool PipeWireOutput::connect() {
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                             const char* error) { onStateChanged(self, state, error); };
        e.process = onProcess;
        return e;
    }();
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_APP_NAME, "Velune", PW_KEY_NODE_LATENCY, latency().c_str(), nullptr);
    pw_thread_loop_lock(loop_);
    stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "Velune", props, &events, this);
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate_;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    int result = -errno;
    if (stream_ != nullptr) {
        result = pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
        if (result == 0) result = pw_thread_loop_start(loop_);
    }
    pw_thread_loop_unlock(loop_);
    if (result != 0) {
        logAudio(LogLevel::Warning, std::string("no PipeWire stream: ") + spa_strerror(result));
        return false;
    }
    return waitUntilStreaming();
}

// Waits until the graph has linked the stream and started it, or it failed.
bool PipeWireOutput::waitUntilStreaming() {
    pw_thread_loop_lock(loop_);
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!streaming_.load() && !lost() && std::chrono::steady_clock::now() < deadline) {
        pw_thread_loop_timed_wait(loop_, 1);
    }
    pw_thread_loop_unlock(loop_);
    if (!streaming_.load() && !lost())
        logAudio(LogLevel::Warning, "PipeWire did not start the stream");
    return streaming_.load() && !lost();
}

PipeWireOutput::~PipeWireOutput() {
    if (loop_ == nullptr) return;
    pw_thread_loop_lock(loop_);
    lost_.store(true);  // closing: the stream's end is no loss to tell
    if (stream_ != nullptr) pw_stream_destroy(stream_);
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_thread_loop_destroy(loop_);
}

void PipeWireOutput::onStateChanged(void* self, int state, const char* error) {
    auto* output = static_cast<PipeWireOutput*>(self);
    if (state == PW_STREAM_STATE_STREAMING) output->streaming_.store(true);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        if (!output->lost_.exchange(true)) {
            logAudio(LogLevel::Warning,
                     std::string("lost the PipeWire stream: ") + (error ? error : "unconnected"));
        }
    }
    pw_thread_loop_signal(output->loop_, false);
}

// The graph's cycle: render what it asks for (the data thread).
void PipeWireOutput::onProcess(void* self) {
    auto* output = static_cast<PipeWireOutput*>(self);
    pw_buffer* buffer = pw_stream_dequeue_buffer(output->stream_);
    if (!output->realtime_) {
        raiseRenderPriority(output->synth_);
        output->realtime_ = true;
    }
    if (buffer == nullptr) return;
    spa_data& data = buffer->buffer->datas[0];
    if (data.data == nullptr) return;
    std::size_t frames = data.maxsize / kFrameBytes;
    if (buffer->requested != 0) frames = std::min<std::size_t>(frames, buffer->requested);
    RestWatch& rest = output->rest_;
    bool atRest = false;
    if (output->resting_.load()) {
        std::memset(data.data, 0, frames * kFrameBytes);  // silence, without the synthesizer
    } else {
        output->watchCycle(frames);
        atRest = rest.render(output->synth_, static_cast<float*>(data.data), frames, output->rate_);
    }
    data.chunk->offset = 0;
    data.chunk->stride = kFrameBytes;
    data.chunk->size = static_cast<std::uint32_t>(frames * kFrameBytes);
    pw_stream_queue_buffer(output->stream_, buffer);
    if (atRest && output->restAskedAt_ != rest.seen()) {
        output->restAskedAt_ = rest.seen();
        const Rest ask{rest.seen(), output->policy_->current().periodFrames};
        pw_loop_invoke(pw_thread_loop_get_loop(output->loop_), onRest, 0, &ask, sizeof ask, false,
                       output);
    }
}

// The graph's clock advances by one quantum a cycle; when it has advanced by more since the last
// cycle we rendered, the graph went on without us (a click), and the quantum grows at once.
void PipeWireOutput::watchCycle(std::size_t frames) {
    pw_time time{};
    if (pw_stream_get_time_n(stream_, &time, sizeof time) < 0) return;
    if (resumed_.exchange(false)) cycles_.restart();
    const double ticksPerFrame =
        time.rate.num != 0 ? static_cast<double>(time.rate.denom) / time.rate.num / rate_ : 1.0;
    const bool missed = cycles_.cycle(time.ticks, frames, ticksPerFrame);
    const auto now = std::chrono::steady_clock::now();
    // time.now is when the driver began the cycle, on the monotonic clock steady_clock reads (0:
    // not known yet).
    const auto late = now.time_since_epoch() - std::chrono::nanoseconds(time.now);
    const bool nearMiss =
        !missed && time.now > 0 && cycles_.settled() && policy_->cycleLate(now, late, rate_);
    // A cycle missed while the last one we rendered was silent went unheard.
    const bool audible = rest_.quietFrames() < frames;
    if (nearMiss || (missed ? policy_->underflow(now, audible) : policy_->tick(now))) {
        const Resize resize{policy_->current(), missed     ? "missed a cycle"
                                                : nearMiss ? "late in a cycle"
                                                           : "clean for a while"};
        pw_loop_invoke(pw_thread_loop_get_loop(loop_), onResize, 0, &resize, sizeof resize, false,
                       this);
    }
}

// Asks the graph for the new quantum (the loop's thread).
int PipeWireOutput::onResize(spa_loop*, bool, std::uint32_t, const void* data, std::size_t,
                             void* self) {
    auto* output = static_cast<PipeWireOutput*>(self);
    const auto* resize = static_cast<const Resize*>(data);
    output->askQuantum(resize->setting.periodFrames);
    output->logBuffer(resize->why, resize->setting);
    return 0;
}

// Asks the graph for a quantum of `frames` (the loop locked).
void PipeWireOutput::askQuantum(unsigned frames) {
    const std::string latency = std::to_string(frames) + "/" + std::to_string(rate_);
    const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str())};
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    pw_stream_update_properties(stream_, &dict);
}

// Asks for the longer quantum of rest (the loop's thread), unless a message came since the data
// thread found the output at rest; wake() asks for the playing quantum again.
int PipeWireOutput::onRest(spa_loop*, bool, std::uint32_t, const void* data, std::size_t,
                           void* self) {
    auto* output = static_cast<PipeWireOutput*>(self);
    const auto* rest = static_cast<const Rest*>(data);
    output->resting_.store(true);
    if (output->rest_.messagedSince(rest->seen)) {
        output->resting_.store(false);
        return 0;
    }
    output->playingFrames_ = rest->playingFrames;
    output->askQuantum(std::max(kRestQuantum, output->playingFrames_));
    return 0;
}

void PipeWireOutput::wake() {
    rest_.message();
    if (resting_.load()) {
        pw_thread_loop_lock(loop_);
        if (resting_.load()) {
            askQuantum(playingFrames_);
            resumed_.store(true);
            resting_.store(false);
        }
        pw_thread_loop_unlock(loop_);
    }
}

}  // namespace velune
