#include "audio/pipewire_backend.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "audio/pipewire_library.h"
#include "audio_core/audio_format.h"
#include "audio_core/stream_driver.h"
#include "support/diagnostics.h"

namespace velune {
namespace {

constexpr std::size_t kFrameBytes = kChannels * sizeof(float);
constexpr auto kStartTimeout = std::chrono::seconds(2);
void logAudio(LogLevel level, const std::string& text) { logMessage(LogArea::Audio, level, text); }

// Only ever called once the library is loaded.
const PipeWireLibrary& pw() { return *pipeWireLibrary(); }

// PipeWire's node.latency: a quantum of `frames` at `rate`.
std::string latencyOf(unsigned frames, unsigned rate) {
    return std::to_string(frames) + "/" + std::to_string(rate);
}

}  // namespace

std::unique_ptr<PipeWireBackend> PipeWireBackend::open(StreamDriver& driver) {
    if (pipeWireLibrary() == nullptr) {
        logAudio(LogLevel::Info, "no PipeWire client library: no PipeWire stream");
        return nullptr;
    }
    std::unique_ptr<PipeWireBackend> backend(new PipeWireBackend(driver));
    backend->loop_ = pw().thread_loop_new("velune-pipewire", nullptr);
    // Once connected, the data thread owns the driver's policy.
    const BufferSetting start = driver.setting();
    if (backend->loop_ == nullptr || !backend->connect()) return nullptr;
    driver.logBuffer("playing through PipeWire", start);
    return backend;
}

bool PipeWireBackend::connect() {
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* self, pw_stream_state, pw_stream_state state,
                             const char* error) { onStateChanged(self, state, error); };
        e.process = onProcess;
        return e;
    }();
    const unsigned rate = driver_.rate();
    const std::string latency = latencyOf(driver_.setting().periodFrames, rate);
    pw_properties* props = pw().properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_APP_NAME, "Velune", PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
    pw().thread_loop_lock(loop_);
    pw_loop* loop = pw().thread_loop_get_loop(loop_);
    kickEvent_ = pw_loop_add_event(loop, onKick, this);
    stream_ = pw().stream_new_simple(loop, "Velune", props, &events, this);
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = rate;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    int result = -errno;
    if (stream_ != nullptr && kickEvent_ != nullptr) {
        result = pw().stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1);
        if (result == 0) result = pw().thread_loop_start(loop_);
    }
    pw().thread_loop_unlock(loop_);
    if (result != 0) {
        logAudio(LogLevel::Warning, std::string("no PipeWire stream: ") + spa_strerror(result));
        return false;
    }
    return waitUntilStreaming();
}

// Waits until the graph has linked the stream and started it, or it failed, or the time is up.
bool PipeWireBackend::waitUntilStreaming() {
    pw().thread_loop_lock(loop_);
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (!streaming_.load() && !lost() && std::chrono::steady_clock::now() < deadline) {
        pw().thread_loop_timed_wait(loop_, 1);
    }
    pw().thread_loop_unlock(loop_);
    if (!streaming_.load() && !lost())
        logAudio(LogLevel::Warning, "PipeWire did not start the stream");
    return streaming_.load() && !lost();
}

PipeWireBackend::~PipeWireBackend() {
    if (loop_ == nullptr) return;
    pw().thread_loop_lock(loop_);
    closing_.store(true);
    lost_.store(true);  // closing: the stream's end is no loss to tell
    if (stream_ != nullptr) pw().stream_destroy(stream_);
    // What the data thread handed to the loop's thread before the stream went runs with nothing
    // to act on.
    stream_ = nullptr;
    if (kickEvent_ != nullptr) pw_loop_destroy_source(pw().thread_loop_get_loop(loop_), kickEvent_);
    kickEvent_ = nullptr;
    pw().thread_loop_unlock(loop_);
    pw().thread_loop_stop(loop_);
    pw().thread_loop_destroy(loop_);
}

void PipeWireBackend::onStateChanged(void* self, int state, const char* error) {
    auto* backend = static_cast<PipeWireBackend*>(self);
    if (state == PW_STREAM_STATE_STREAMING) backend->streaming_.store(true);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        if (!backend->lost_.exchange(true)) {
            logAudio(LogLevel::Warning,
                     std::string("lost the PipeWire stream: ") + (error ? error : "unconnected"));
        }
    }
    pw().thread_loop_signal(backend->loop_, false);
}

// The graph's cycle: render what it asks for (the data thread).
void PipeWireBackend::onProcess(void* self) {
    auto* backend = static_cast<PipeWireBackend*>(self);
    StreamDriver& driver = backend->driver_;
    if (!backend->realtime_) {
        driver.enterRealtime();
        backend->realtime_ = true;
    }
    pw_buffer* buffer = pw().stream_dequeue_buffer(backend->stream_);
    if (buffer == nullptr) return;
    spa_data& data = buffer->buffer->datas[0];
    if (data.data == nullptr) return;
    std::size_t frames = data.maxsize / kFrameBytes;
    if (buffer->requested != 0) frames = std::min<std::size_t>(frames, buffer->requested);
    bool atRest = false;
    if (backend->silent_.load(std::memory_order_acquire)) {
        std::memset(data.data, 0, frames * kFrameBytes);  // silence, without the synthesizer
        // A shorter quantum that falls due at rest is asked for now, so that the next note plays
        // at it, and the cycle the change may drop goes unheard.
        if (const std::optional<BufferSetting> resize = driver.tick()) backend->resize(*resize);
    } else {
        if (backend->restarted_.exchange(false)) backend->cycles_.restart();
        backend->watchCycle(frames);
        atRest = driver.render(static_cast<float*>(data.data), frames);
    }
    data.chunk->offset = 0;
    data.chunk->stride = kFrameBytes;
    data.chunk->size = static_cast<std::uint32_t>(frames * kFrameBytes);
    pw().stream_queue_buffer(backend->stream_, buffer);
    // At rest the synthesizer is left alone; the graph runs on at the playing quantum.
    if (atRest && driver.beginRest()) backend->silent_.store(true, std::memory_order_release);
}

// The graph's clock advances by one quantum a cycle; when it has advanced by more since the last
// cycle we rendered, the graph went on without us (a click), and the quantum grows at once.
void PipeWireBackend::watchCycle(std::size_t frames) {
    pw_time time{};
    if (pw().stream_get_time_n(stream_, &time, sizeof time) < 0) return;
    const unsigned rate = driver_.rate();
    const double ticksPerFrame =
        time.rate.num != 0 ? static_cast<double>(time.rate.denom) / time.rate.num / rate : 1.0;
    const bool missed = cycles_.cycle(time.ticks, frames, ticksPerFrame);
    // time.now is when the driver began the cycle, on the monotonic clock steady_clock reads (0:
    // not known yet).
    const auto late =
        std::chrono::steady_clock::now().time_since_epoch() - std::chrono::nanoseconds(time.now);
    // A cycle missed while the last one we rendered was silent went unheard.
    const bool audible = driver_.quietFrames() < frames;
    if (!missed && time.now > 0 && cycles_.settled()) driver_.lateInCycle(late);
    const std::optional<BufferSetting> resize =
        missed ? driver_.missedCycle(audible) : driver_.tick();
    if (resize) this->resize(*resize);
}

void PipeWireBackend::resize(const BufferSetting& setting) {
    const Resize ask{setting};
    pw_loop_invoke(pw().thread_loop_get_loop(loop_), onResize, 0, &ask, sizeof ask, false, this);
}

// Asks the graph for the new quantum (the loop's thread).
int PipeWireBackend::onResize(spa_loop*, bool, std::uint32_t, const void* data, std::size_t,
                              void* self) {
    auto* backend = static_cast<PipeWireBackend*>(self);
    if (backend->stream_ == nullptr) return 0;
    backend->askQuantum(static_cast<const Resize*>(data)->setting.periodFrames);
    return 0;
}

// Asks the graph for a quantum of `frames` (the loop's thread).
void PipeWireBackend::askQuantum(unsigned frames) {
    const std::string latency = latencyOf(frames, driver_.rate());
    const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str())};
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    pw().stream_update_properties(stream_, &dict);
}

void PipeWireBackend::kick() {
    if (!closing_.load() && kickEvent_ != nullptr)
        pw_loop_signal_event(pw().thread_loop_get_loop(loop_), kickEvent_);
}

// A message came (the loop's thread): the rest ends, and the next cycle renders its note.
void PipeWireBackend::onKick(void* self, std::uint64_t) {
    auto* backend = static_cast<PipeWireBackend*>(self);
    if (backend->stream_ == nullptr || !backend->driver_.endRest()) return;
    backend->restarted_.store(true);
    backend->silent_.store(false, std::memory_order_release);
}

}  // namespace velune
