#include "audio/pulse_backend.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "audio_core/stream_driver.h"
#include "support/diagnostics.h"

namespace velune {
namespace {

// At rest the buffer is half a second long: the sink may render in long blocks.
constexpr unsigned kRestPeriodsPerSecond = 8;
constexpr unsigned kRestPeriods = 4;

pa_buffer_attr attributesOf(const PulseRequest& request) {
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = request.tlength;
    attr.prebuf = request.prebuf;
    attr.minreq = request.minreq;
    attr.fragsize = static_cast<std::uint32_t>(-1);
    return attr;
}

void unref(pa_operation* operation) {
    if (operation != nullptr) pa_operation_unref(operation);
}

}  // namespace

std::unique_ptr<PulseBackend> PulseBackend::connect(std::chrono::milliseconds timeout, bool quiet) {
    const Deadline deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_ptr<PulseBackend> backend(new PulseBackend);
    backend->quiet_ = quiet;
    backend->connection_ = PulseConnection::start(onFailure, backend.get());
    if (!backend->connection_) return nullptr;
    backend->kickFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (backend->kickFd_ < 0) return nullptr;
    PulseBackend& b = *backend;
    pa_threaded_mainloop_lock(b.connection_->loop());
    const bool ready = b.connection_->reach(deadline, quiet);
    if (ready) {
        b.sink_ = b.connection_->defaultSink();
        pa_mainloop_api* api = b.connection_->api();
        b.kickEvent_ = api->io_new(api, b.kickFd_, PA_IO_EVENT_INPUT, onKick, &b);
        b.pumpEvent_ = api->defer_new(api, onPump, &b);
        api->defer_enable(b.pumpEvent_, 0);
    } else {
        b.fail(std::chrono::steady_clock::now() >= deadline ? "the PulseAudio server did not answer"
                                                            : "no PulseAudio server");
    }
    pa_threaded_mainloop_unlock(b.connection_->loop());
    return ready ? std::move(backend) : nullptr;
}

PulseBackend::~PulseBackend() {
    if (connection_) {
        pa_threaded_mainloop_lock(connection_->loop());
        pa_mainloop_api* api = connection_->api();
        if (stream_ != nullptr) {
            pa_stream_set_write_callback(stream_, nullptr, nullptr);
            pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
            pa_stream_set_moved_callback(stream_, nullptr, nullptr);
            pa_stream_set_state_callback(stream_, nullptr, nullptr);
            pa_stream_disconnect(stream_);
            pa_stream_unref(stream_);
            stream_ = nullptr;  // what is still on its way finds nothing to write to
        }
        if (kickEvent_ != nullptr) api->io_free(kickEvent_);
        if (pumpEvent_ != nullptr) api->defer_free(pumpEvent_);
        connection_->disconnect();
        pa_threaded_mainloop_unlock(connection_->loop());
        connection_.reset();  // stops the event thread
    }
    if (kickFd_ >= 0) close(kickFd_);
}

bool PulseBackend::start(StreamDriver& driver, std::chrono::milliseconds timeout) {
    const Deadline deadline = std::chrono::steady_clock::now() + timeout;
    pa_threaded_mainloop_lock(connection_->loop());
    driver_ = &driver;
    request_ = requestFor(driver.setting(), sink_, frameBytes());
    driver.setRewrites(request_.rewritable);
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, driver.rate(), kChannels};
    const pa_buffer_attr attr = attributesOf(request_);
    stream_ = pa_stream_new(connection_->context(), "Velune", &format, nullptr);
    bool ready = false;
    if (stream_ != nullptr) {
        pa_stream_set_state_callback(stream_, onStreamState, this);
        pa_stream_set_write_callback(stream_, onWrite, this);
        pa_stream_set_underflow_callback(stream_, onUnderflow, this);
        pa_stream_set_moved_callback(stream_, onMoved, this);
        const auto flags = request_.adjustLatency ? PA_STREAM_ADJUST_LATENCY : PA_STREAM_NOFLAGS;
        ready = pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) >= 0 &&
                connection_->waitUntil(
                    [this] { return pa_stream_get_state(stream_) == PA_STREAM_READY; },
                    [this] { return !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)); }, deadline);
    }
    if (ready) {
        driver.logBuffer(sink_.network ? "playing to a network sink" : "playing");
    } else {
        fail("the audio server refused the stream");
    }
    pa_threaded_mainloop_unlock(connection_->loop());
    return ready;
}

// Tells why, once, and marks the output lost (the loop locked). Before a stream plays the line
// is written at once; from then on the event thread is a real-time one, and the relay writes it.
void PulseBackend::fail(const char* what) {
    if (lost_.exchange(true, std::memory_order_acq_rel) || quiet_) return;
    pa_context* context = connection_ ? connection_->context() : nullptr;
    const char* why = context != nullptr ? pa_strerror(pa_context_errno(context)) : "";
    if (driver_ != nullptr && realtime_) {
        driver_->log(LogLevel::Warning, what, why);
    } else {
        logMessage(LogArea::Audio, LogLevel::Warning, std::string(what) + ": " + why);
    }
}

void PulseBackend::onFailure(void* self, const char* what) {
    static_cast<PulseBackend*>(self)->fail(what);
}

void PulseBackend::onStreamState(pa_stream* stream, void* self) {
    auto* backend = static_cast<PulseBackend*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) backend->fail("lost the audio stream");
    pa_threaded_mainloop_signal(backend->connection_->loop(), 0);
}

void PulseBackend::kick() {
    const std::uint64_t one = 1;
    if (write(kickFd_, &one, sizeof one) < 0) {
        // The counter is full: the event thread has a kick to see to already.
    }
}

// A message came (the event thread): the rest ends, or a note is to be carried into the queue.
void PulseBackend::onKick(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* self) {
    auto* backend = static_cast<PulseBackend*>(self);
    std::uint64_t count = 0;
    if (read(fd, &count, sizeof count) < 0) return;
    if (backend->stream_ == nullptr || backend->driver_ == nullptr || backend->lost()) return;
    StreamDriver& driver = *backend->driver_;
    if (driver.endRest()) {
        driver.takeChange();  // what resume() writes carries it already
        backend->resume();
    } else {
        backend->awaitChange();
    }
}

// The server asks for more.
void PulseBackend::onWrite(pa_stream*, std::size_t, void* self) {
    auto* backend = static_cast<PulseBackend*>(self);
    if (!backend->realtime_) {
        backend->driver_->enterRealtime();
        backend->realtime_ = true;
    }
    if (!backend->corked_) {
        if (const std::optional<BufferSetting> setting = backend->driver_->tick())
            backend->requestBuffer(*setting);
    }
    backend->pump();
}

void PulseBackend::onPump(pa_mainloop_api*, pa_defer_event*, void* self) {
    static_cast<PulseBackend*>(self)->pump();
}

// One step of rendering, at most kRenderCeiling frames: the rewrite under way first, then what
// the server asks for. The loop comes round again while there is more.
void PulseBackend::pump() {
    pa_mainloop_api* api = connection_->api();
    if (stream_ == nullptr || lost() || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        api->defer_enable(pumpEvent_, 0);
        return;
    }
    const auto wanted = [&] {
        const std::size_t writable = pa_stream_writable_size(stream_);
        return writable == static_cast<std::size_t>(-1) ? 0 : writable / frameBytes();
    };
    // While a note waits for the server to say where it reads, nothing fresh is rendered: a
    // render would take the note in at the end of the queue, and the rewrite after it would
    // continue from there and cut the note's start away. The queue holds far longer than the
    // answer takes; what the server asked for is written once the note is in.
    if (written_.rewriting()) {
        stepRewrite();
    } else if (const std::size_t frames = wanted(); frames > 0 && !changePending_) {
        // A note whose kick the loop has not seen to yet is carried in first: this render would
        // take it in at the end of the queue, and it would wait behind all of it.
        if (corked_ || !awaitChange()) {
            writeFresh(std::min<std::size_t>(frames, kRenderCeiling));
        }
    }
    api->defer_enable(pumpEvent_, written_.rewriting() || (!changePending_ && wanted() > 0));
}

// Renders `frames` more at the end of the queue; at rest, silence without the synthesizer.
void PulseBackend::writeFresh(std::size_t frames) {
    void* data = nullptr;
    std::size_t size = frames * frameBytes();
    if (pa_stream_begin_write(stream_, &data, &size) < 0 || data == nullptr) {
        fail("cannot write to the audio stream");
        return;
    }
    size = std::min(size, frames * frameBytes()) / frameBytes() * frameBytes();
    bool atRest = false;
    if (corked_) {
        std::memset(data, 0, size);
    } else {
        atRest = driver_->render(static_cast<float*>(data), size / frameBytes());
    }
    written_.written({static_cast<const float*>(data), size / sizeof(float)});
    if (pa_stream_write(stream_, data, size, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        fail("cannot write to the audio stream");
        return;
    }
    if (atRest && driver_->beginRest()) rest();
}

// A note to carry into the queue: the server is asked where it reads, and nothing fresh is
// written until it answers. False when there is none.
bool PulseBackend::awaitChange() {
    if (!driver_->takeChange()) return false;
    changePending_ = true;
    askTiming();
    return true;
}

// Asks the server where it reads; the answer renders the queue again from there.
void PulseBackend::askTiming() { unref(pa_stream_update_timing_info(stream_, onTiming, this)); }

void PulseBackend::onTiming(pa_stream* stream, int success, void* self) {
    auto* backend = static_cast<PulseBackend*>(self);
    const pa_timing_info* info =
        success != 0 && backend->stream_ == stream ? pa_stream_get_timing_info(stream) : nullptr;
    if (info == nullptr || info->write_index_corrupt || info->read_index_corrupt) {
        // Just after the queue was dropped the client library cannot yet tell where the server
        // writes: a note waiting to be carried in asks again.
        if (backend->changePending_ && backend->stream_ == stream) {
            if (++backend->timingRetries_ < 4) {
                backend->askTiming();
            } else {
                backend->changePending_ = false;  // no answer to be had: play on
                backend->pump();
            }
        }
        return;
    }
    backend->timingRetries_ = 0;
    backend->rewriteFrom(*info);
}

// The server's own count of what was written is the one that counts: after it dropped its queue
// (at the end of a rest) or the stream moved, the frames are numbered from where it stood. Then, if
// a note is waiting to be carried into the queue, what lies beyond where the server reads, and
// beyond the margin the new sound takes to reach it, is rendered again.
void PulseBackend::rewriteFrom(const pa_timing_info& info) {
    const auto bytes = static_cast<std::int64_t>(frameBytes());
    // (The client library counts the writes made since it asked into the answer.)
    if (!written_.rewriting()) written_.renumber(info.write_index / bytes - written_.end());
    if (!changePending_) return;
    changePending_ = false;
    if (!corked_) {
        std::int64_t read = info.read_index / bytes;
        // The server read on while its answer came.
        if (info.playing != 0)
            read += static_cast<std::int64_t>(info.transport_usec * driver_->rate() / 1000000);
        written_.beginRewrite(read, request_.marginFrames, queueFrames());
    }
    pump();  // the rewrite, and what fresh writes waited for this answer
}

// One step of the rewrite, rendered straight into the server's memory, over what was queued
// there (a seek back from the stream's write index, which the server counts as it is written).
void PulseBackend::stepRewrite() {
    void* data = nullptr;
    std::size_t size = written_.nextRewrite(kRenderCeiling) * frameBytes();
    if (pa_stream_begin_write(stream_, &data, &size) < 0 || data == nullptr) {
        fail("cannot write to the audio stream");
        return;
    }
    const std::size_t frames = std::min(size / frameBytes(), written_.nextRewrite(kRenderCeiling));
    const std::span<float> fresh(static_cast<float*>(data), frames * kChannels);
    driver_->render(fresh.data(), frames);
    const std::int64_t seek = written_.rewritten(fresh) * static_cast<std::int64_t>(frameBytes());
    if (pa_stream_write(stream_, data, frames * frameBytes(), nullptr, seek, PA_SEEK_RELATIVE) <
        0) {
        fail("cannot write to the audio stream");
    }
}

void PulseBackend::onUnderflow(pa_stream*, void* self) {
    auto* backend = static_cast<PulseBackend*>(self);
    if (backend->corked_) return;
    // Everything queued was silence when the rendered output has been quiet for a whole buffer.
    const bool audible = !backend->driver_->quietForBuffer();
    if (const std::optional<BufferSetting> setting = backend->driver_->underflow(audible))
        backend->requestBuffer(*setting);
}

// The stream plays to another sink now (the default changed, headphones came in): ask it what
// it can hold.
void PulseBackend::onMoved(pa_stream* stream, void* self) {
    auto* backend = static_cast<PulseBackend*>(self);
    pa_context* context = backend->connection_->context();
    unref(pa_context_get_sink_info_by_index(context, pa_stream_get_device_index(stream),
                                            onMovedSinkInfo, self));
}

void PulseBackend::onMovedSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* backend = static_cast<PulseBackend*>(self);
    if (eol != 0 || info == nullptr || backend->stream_ == nullptr) return;
    const SinkFacts facts = PulseConnection::factsOf(*info, backend->sink_.pipewire);
    const bool sameKind = facts.network == backend->sink_.network &&
                          facts.dynamicLatency == backend->sink_.dynamicLatency;
    backend->sink_ = facts;
    StreamDriver& driver = *backend->driver_;
    if (!sameKind && !driver.pinned()) driver.restartAt(startingBuffer(facts, driver.setting()));
    if (!backend->corked_) backend->requestBuffer(driver.setting());
    driver.logBuffer(facts.network ? "moved to a network sink" : "moved to another sink");
    if (facts.rate != driver.rate()) {
        driver.log(LogLevel::Info, "the new sink runs at another rate: playing at its rate");
        backend->otherRate_.store(true, std::memory_order_release);
    }
}

void PulseBackend::requestBuffer(const BufferSetting& setting) {
    request_ = requestFor(setting, sink_, frameBytes());
    const pa_buffer_attr attr = attributesOf(request_);
    unref(pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr));
}

// The short buffer again, without the silence queued at rest, playing, and the sound written at
// once (the event thread).
void PulseBackend::resume() {
    corked_ = false;
    written_.cancelRewrite();
    changePending_ = false;
    requestBuffer(driver_->setting());
    unref(pa_stream_flush(stream_, nullptr, nullptr));
    unref(pa_stream_cork(stream_, 0, nullptr, nullptr));
    // The server numbers what is written after the flush from where it reads: the next timing
    // answer renumbers what is remembered.
    askTiming();
    const BufferSetting setting = driver_->setting();
    writeFresh(
        std::min<std::size_t>(std::size_t{setting.periodFrames} * setting.periods, kRenderCeiling));
}

// Corks the stream and lengthens its buffer (the event thread).
void PulseBackend::rest() {
    corked_ = true;
    written_.cancelRewrite();
    unref(pa_stream_cork(stream_, 1, nullptr, nullptr));
    requestBuffer({driver_->rate() / kRestPeriodsPerSecond, kRestPeriods});
}

}  // namespace velune
