#include "pulse_output.h"

#include <fluidsynth.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "diagnostics.h"
#include "pipewire_output.h"

namespace velune {
namespace {

constexpr unsigned kChannels = 2;
constexpr std::size_t kFrameBytes = kChannels * sizeof(float);
// Sane limits for a buffer given from outside: 16 frames to a second at 48 kHz.
constexpr unsigned kShortestPeriod = 16;
constexpr unsigned kLongestBuffer = 48000;
// A note's sound rendered again is written this far ahead of what the sink may have taken
// (1/800 s): time for it to reach the server, enough on a busy machine. It does not grow with
// the buffer, which would keep 5 ms between the note and the sink at 512x3.
constexpr unsigned kRewriteAheadPerSecond = 800;
// At rest the buffer is half a second long: the sink may render in long blocks.
constexpr unsigned kRestPeriodsPerSecond = 8;
constexpr unsigned kRestPeriods = 4;

void logAudio(LogLevel level, const std::string& text) { logMessage(LogArea::Audio, level, text); }

// PulseAudio's own server: the sink's share of the latency is one period, and the queue before
// it is long, because a note does not wait behind it. The queue is what a busy server's main
// thread, which passes on every request and every write, may take to come round: 13 ms with both
// cores busy on a two-core machine. A queue of 3 periods clicked there.
constexpr BufferSetting kPulseStart{64, 16};

// What a stream asks the server for. PipeWire's PulseAudio server (`rewritable` false) sizes the
// sink's share from the whole buffer (PA_STREAM_ADJUST_LATENCY), and asks for a period at a time.
// PulseAudio's own server gives the sink what the buffer holds beyond two requests: so the queue
// is never shorter than `periods` periods and the sink's share is one period, the server asking
// for the queue less a period at a time rather than for every period: server and program wake
// up half as often while playing and use half the processor time, and a note sounds about half a
// millisecond later for it (in the benchmark).
pa_buffer_attr bufferAttributes(const BufferSetting& setting, bool rewritable) {
    const auto period = static_cast<std::uint32_t>(setting.periodFrames * kFrameBytes);
    const std::uint32_t queue = period * setting.periods;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.minreq = rewritable ? queue - period : period;
    attr.tlength = rewritable ? queue + attr.minreq : queue;
    attr.prebuf = period;  // start, and start again after an underrun, at once
    attr.fragsize = static_cast<std::uint32_t>(-1);
    return attr;
}

bool parseNumber(const std::string& text, unsigned& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 6) {
        return false;
    }
    value = static_cast<unsigned>(std::stoul(text));
    return true;
}

}  // namespace

bool parseBuffer(const char* text, ParsedBuffer& buffer) {
    if (text == nullptr) return false;
    const std::string value(text);
    const std::size_t x = value.find('x');
    ParsedBuffer parsed{};
    if (x == std::string::npos || !parseNumber(value.substr(0, x), parsed.periodFrames) ||
        !parseNumber(value.substr(x + 1), parsed.periods)) {
        return false;
    }
    if (parsed.periodFrames < kShortestPeriod || parsed.periods < 2 ||
        parsed.periodFrames * parsed.periods > kLongestBuffer) {
        return false;
    }
    buffer = parsed;
    return true;
}

void pinBuffer(const char* text, AudioFormat& format) {
    if (text == nullptr) return;
    ParsedBuffer buffer{};
    const std::string adaptive = toString({format.periodFrames, format.periods});
    if (!parseBuffer(text, buffer)) {
        logAudio(LogLevel::Warning, std::string("ignored VELUNE_AUDIO_BUFFER=") + text +
                                        ", using adaptive " + adaptive);
        return;
    }
    format.periodFrames = buffer.periodFrames;
    format.periods = buffer.periods;
    format.pinned = true;
}

std::unique_ptr<PulseOutput> PulseOutput::connect() {
    std::unique_ptr<PulseOutput> output(new PulseOutput);
    output->loop_ = pa_threaded_mainloop_new();
    if (output->loop_ == nullptr) return nullptr;
    pa_threaded_mainloop_set_name(output->loop_, "velune-audio");
    output->context_ = pa_context_new(pa_threaded_mainloop_get_api(output->loop_), "Velune");
    if (output->context_ == nullptr || pa_threaded_mainloop_start(output->loop_) < 0)
        return nullptr;

    pa_threaded_mainloop_lock(output->loop_);
    pa_context_set_state_callback(output->context_, onContextState, output.get());
    const bool ready =
        pa_context_connect(output->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
        output->waitUntil(
            [](PulseOutput& o) { return pa_context_get_state(o.context_) == PA_CONTEXT_READY; });
    if (ready) {
        // "@DEFAULT_SINK@" names whatever sink the server plays to by default.
        output->await(pa_context_get_sink_info_by_name(output->context_, "@DEFAULT_SINK@",
                                                       onSinkInfo, output.get()));
        output->await(pa_context_get_server_info(output->context_, onServerInfo, output.get()));
    }
    if (!ready) output->fail("no PulseAudio server");
    pa_threaded_mainloop_unlock(output->loop_);
    return ready ? std::move(output) : nullptr;
}

std::unique_ptr<PulseOutput> PulseOutput::open(fluid_synth_t* synth, const AudioFormat& format) {
    std::unique_ptr<PulseOutput> output = connect();
    if (!output || !output->start(synth, format)) return nullptr;
    return output;
}

PulseOutput::~PulseOutput() {
    if (loop_ == nullptr) return;
    pa_threaded_mainloop_lock(loop_);
    if (stream_ != nullptr) {
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;  // a rewrite still on its way finds nothing to write to
    }
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

bool PulseOutput::start(fluid_synth_t* synth, const AudioFormat& format) {
    const unsigned rate = format.sampleRate != 0 ? format.sampleRate : sinkRate_;
    if (rate == 0 || stream_ != nullptr || pipewire_) return false;
    synth_ = synth;
    rate_ = rate;
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, rate, kChannels};
    const BufferSetting chosen{format.periodFrames, format.periods};
    const auto now = std::chrono::steady_clock::now();
    if (onPipeWire_ &&
        playThroughPipeWire({chosen, format.pinned, now, BufferPolicy::Steps::Doubling})) {
        return true;
    }
    // PipeWire's PulseAudio server does not take a write over what it has queued: there the
    // whole buffer is latency, and the server sizes the sink's share from it.
    const bool rewritable = !onPipeWire_;
    policy_.emplace(format.pinned || !rewritable ? chosen : kPulseStart, format.pinned, now);
    const pa_buffer_attr attr = bufferAttributes(policy_->current(), rewritable);
    const auto flags = rewritable ? PA_STREAM_NOFLAGS : PA_STREAM_ADJUST_LATENCY;

    pa_threaded_mainloop_lock(loop_);
    stream_ = pa_stream_new(context_, "Velune", &sampleFormat, nullptr);
    bool ready = false;
    if (stream_ != nullptr) {
        pa_stream_set_state_callback(stream_, onStreamState, this);
        pa_stream_set_write_callback(stream_, onWrite, this);
        pa_stream_set_underflow_callback(stream_, onUnderflow, this);
        ready = pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) >= 0 &&
                waitUntil([](PulseOutput& o) {
                    return pa_stream_get_state(o.stream_) == PA_STREAM_READY;
                });
    }
    if (ready) {
        logBuffer("playing");
    } else {
        fail("the audio server refused the stream");
    }
    pa_threaded_mainloop_unlock(loop_);
    return ready;
}

// On PipeWire, a native stream gets a shorter quantum than PipeWire's PulseAudio server grants
// (VELUNE_PIPEWIRE=0 keeps the PulseAudio stream). The PulseAudio connection is then let go, so
// that only the native stream tells whether the output is lost.
bool PulseOutput::playThroughPipeWire(const BufferPolicy& policy) {
    if (const char* choice = std::getenv("VELUNE_PIPEWIRE");
        choice != nullptr && std::strcmp(choice, "0") == 0) {
        return false;
    }
    pipewire_ = PipeWireOutput::open(synth_, rate_, policy);
    if (!pipewire_) return false;
    pa_threaded_mainloop_lock(loop_);
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
    pa_threaded_mainloop_unlock(loop_);
    return true;
}

// Waits (the loop locked) until `ready`, or until the connection or the stream has failed.
bool PulseOutput::waitUntil(bool (*ready)(PulseOutput&)) {
    for (;;) {
        if (ready(*this)) return true;
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
            (stream_ != nullptr && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))) {
            return false;
        }
        pa_threaded_mainloop_wait(loop_);
    }
}

// Waits (the loop locked) until `operation` has run.
void PulseOutput::await(pa_operation* operation) {
    while (operation != nullptr && pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_threaded_mainloop_wait(loop_);
    }
    if (operation != nullptr) pa_operation_unref(operation);
}

void PulseOutput::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    const char* name = info != nullptr ? info->server_name : nullptr;
    output->onPipeWire_ = name != nullptr && std::strstr(name, "PipeWire") != nullptr;
    pa_threaded_mainloop_signal(output->loop_, 0);
}

void PulseOutput::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    if (eol == 0 && info != nullptr) output->sinkRate_ = info->sample_spec.rate;
    pa_threaded_mainloop_signal(output->loop_, 0);
}

void PulseOutput::onContextState(pa_context* context, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
        output->fail("the PulseAudio connection failed");
    pa_threaded_mainloop_signal(output->loop_, 0);
}

void PulseOutput::onStreamState(pa_stream* stream, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) output->fail("lost the audio stream");
    pa_threaded_mainloop_signal(output->loop_, 0);
}

// Tells why, once, and marks the output lost (the loop locked).
void PulseOutput::fail(const char* what) {
    if (!lost_.exchange(true, std::memory_order_acq_rel)) {
        logAudio(LogLevel::Warning,
                 std::string(what) + ": " + pa_strerror(pa_context_errno(context_)));
    }
}

// The server asks for `bytes`: render them now and hand them over.
void PulseOutput::onWrite(pa_stream*, std::size_t bytes, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    if (!output->realtime_) {
        raiseRenderPriority(output->synth_);
        output->realtime_ = true;
    }
    if (!output->corked_.load() && output->policy_->tick(std::chrono::steady_clock::now())) {
        output->requestBuffer(output->policy_->current());
        output->logBuffer("clean for a while");
    }
    if (const pa_buffer_attr* attr = pa_stream_get_buffer_attr(output->stream_)) {
        output->queued_.requested(std::chrono::steady_clock::now(), attr->tlength / kFrameBytes);
    }
    if (output->write(bytes)) output->rest();
}

// Writes `bytes`; at rest, silence without asking the synthesizer. True once at rest.
bool PulseOutput::write(std::size_t bytes) {
    resumed_ = false;
    bool atRest = false;
    while (bytes >= kFrameBytes) {
        void* data = nullptr;
        std::size_t size = bytes;
        if (pa_stream_begin_write(stream_, &data, &size) < 0 || data == nullptr) {
            fail("cannot write to the audio stream");
            return false;
        }
        size = std::min(size, bytes) / kFrameBytes * kFrameBytes;
        if (corked_.load()) {
            std::memset(data, 0, size);
        } else {
            atRest = rest_.render(synth_, static_cast<float*>(data), size / kFrameBytes, rate_);
        }
        queued_.written({static_cast<const float*>(data), size / sizeof(float)});
        if (pa_stream_write(stream_, data, size, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            fail("cannot write to the audio stream");
            return false;
        }
        bytes -= size;
    }
    return atRest;
}

void PulseOutput::onUnderflow(pa_stream*, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    // Everything queued was silence when the rendered output has been quiet for a whole buffer.
    const BufferSetting setting = output->policy_->current();
    const bool audible = output->rest_.quietFrames() < setting.periodFrames * setting.periods;
    if (output->policy_->underflow(std::chrono::steady_clock::now(), audible)) {
        output->requestBuffer(output->policy_->current());
        output->logBuffer("underflow");
    } else {
        logAudio(LogLevel::Debug, "underflow");
    }
}

void PulseOutput::requestBuffer(const BufferSetting& setting) {
    const pa_buffer_attr attr = bufferAttributes(setting, !onPipeWire_);
    if (pa_operation* set = pa_stream_set_buffer_attr(stream_, &attr, onBufferSet, this)) {
        pa_operation_unref(set);
    }
}

void PulseOutput::onBufferSet(pa_stream*, int success, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    if (success == 0) {
        logAudio(LogLevel::Warning, std::string("the audio server refused a buffer: ") +
                                        pa_strerror(pa_context_errno(output->context_)));
    }
}

void PulseOutput::logBuffer(const char* why) {
    logAudio(LogLevel::Info, std::string(why) + ": buffer " + toString(policy_->current()) +
                                 " at " + std::to_string(rate_) + " Hz" +
                                 (policy_->pinned() ? " (pinned)" : ""));
}

bool PulseOutput::lost() const {
    return pipewire_ ? pipewire_->lost() : lost_.load(std::memory_order_acquire);
}

void PulseOutput::wake() {
    if (pipewire_) {
        pipewire_->wake();
        return;
    }
    rest_.message();
    if (corked_.load()) {
        pa_threaded_mainloop_lock(loop_);
        if (corked_.exchange(false)) resume();
        pa_threaded_mainloop_unlock(loop_);
    }
}

void PulseOutput::noteStarted() {
    if (onPipeWire_ || corked_.load() || rewriteAsked_.exchange(true)) return;
    pa_threaded_mainloop_lock(loop_);
    pa_mainloop_api_once(pa_threaded_mainloop_get_api(loop_), onNoteStarted, this);
    pa_threaded_mainloop_unlock(loop_);
}

void PulseOutput::onNoteStarted(pa_mainloop_api*, void* self) {
    static_cast<PulseOutput*>(self)->rewrite();
}

// Renders again what the server has queued and can still replace, so that the note just
// started sounds now rather than after the queue (the event thread).
void PulseOutput::rewrite() {
    rewriteAsked_.store(false);
    if (stream_ == nullptr || corked_.load() || lost_.load()) return;
    if (resumed_) {
        // The note woke the stream: its buffer is written now, not when the server asks for it,
        // which it does only after its sink's next block (about 12 ms later on a null sink).
        const std::size_t frames = policy_->current().periodFrames * policy_->current().periods;
        queued_.requested(std::chrono::steady_clock::now(), frames);
        if (write(frames * kFrameBytes)) rest();
        return;
    }
    const std::size_t frames = queued_.replaceable(std::chrono::steady_clock::now(), rate_,
                                                   rate_ / kRewriteAheadPerSecond);
    if (frames == 0) return;
    const std::span<float> fresh(rewritten_.data(), frames * kChannels);
    rest_.render(synth_, fresh.data(), frames, rate_);
    queued_.replace(fresh);
    const auto bytes = static_cast<std::int64_t>(frames * kFrameBytes);
    if (pa_stream_write(stream_, fresh.data(), frames * kFrameBytes, nullptr, -bytes,
                        PA_SEEK_RELATIVE) < 0) {
        fail("cannot write to the audio stream");
    }
}

// The short buffer again, without the silence queued at rest, playing (the loop locked).
void PulseOutput::resume() {
    resumed_ = true;
    queued_.dropped();
    requestBuffer(policy_->current());
    if (pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(flush);
    if (pa_operation* uncork = pa_stream_cork(stream_, 0, nullptr, nullptr))
        pa_operation_unref(uncork);
}

// Corks the stream and lengthens its buffer (the event thread, the loop locked). A message that
// came meanwhile, which wake() could not see as corked, resumes it at once.
void PulseOutput::rest() {
    corked_.store(true);
    if (pa_operation* cork = pa_stream_cork(stream_, 1, nullptr, nullptr)) pa_operation_unref(cork);
    requestBuffer({rate_ / kRestPeriodsPerSecond, kRestPeriods});
    rest_.forgetQuiet();
    if (rest_.messagedSince(rest_.seen()) && corked_.exchange(false)) resume();
}

}  // namespace velune
