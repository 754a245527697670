#pragma once

// Plays a StreamDriver through a PulseAudio playback stream (PipeWire's PulseAudio server too),
// tuned for live playing: the driver renders what the server asks for on the spot, in the client
// library's event thread, at real-time priority where the system allows it.
//
//   key -> note on -> [queued at the server, rendered again from where it reads] -> sink -> ear
//
// A long queue rides out a busy moment, but a note that waited behind it would sound that much
// later. So when a note starts or ends, the backend asks the server where it reads (its timing
// info), and what is queued beyond that, less a margin, is rendered again with the change in it
// (QueuedAudio): the change sounds after the sink's own share, however long the queue. How long
// the share and the margin are is the sink's to say (PulseRequest). Rendering is cut into steps
// of kRenderCeiling frames, each a turn of the event loop.
//
// The buffer starts as short as the sink allows and grows at the first underflow the server
// reports, then shrinks again after a clean stretch (BufferPolicy); the stream stays as it is,
// only its buffer attributes change. When the stream moves to another sink, it asks the new sink
// what it can hold.
//
// At rest the stream is corked and its buffer made half a second long: a paused stream's latency
// request still sets the pace of the sink. A message ends the rest (kick()): the short buffer
// again, the silence queued meanwhile dropped, and the sound written at once, without waiting for
// the server to ask. Every wait for the server has a time limit; the thread that sends messages
// never waits for it at all.

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

#include "audio/pulse_connection.h"
#include "audio/pulse_request.h"
#include "audio_core/audio_backend.h"
#include "audio_core/audio_format.h"
#include "audio_core/queued_audio.h"

namespace velune {

class StreamDriver;

class PulseBackend : public AudioBackend {
  public:
    // Reaches the server and learns its default sink, within `timeout`; nullptr when no server
    // answers in time (logged unless `quiet`).
    static std::unique_ptr<PulseBackend> connect(std::chrono::milliseconds timeout,
                                                 bool quiet = false);
    ~PulseBackend() override;
    PulseBackend(const PulseBackend&) = delete;
    PulseBackend& operator=(const PulseBackend&) = delete;

    // What the server says of its default sink.
    const SinkFacts& sink() const { return sink_; }
    // Plays `driver` through a stream of the driver's rate, within `timeout`; false when the
    // server refuses it (logged).
    bool start(StreamDriver& driver, std::chrono::milliseconds timeout);

    void kick() override;
    bool lost() const override { return lost_.load(std::memory_order_acquire); }
    bool wantsRestart() const override { return otherRate_.load(std::memory_order_acquire); }

  private:
    using Deadline = PulseConnection::Deadline;
    PulseBackend() = default;
    void fail(const char* what);
    std::size_t frameBytes() const { return kChannels * sizeof(float); }

    static void onFailure(void* self, const char* what);
    static void onMovedSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWrite(pa_stream* stream, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onMoved(pa_stream* stream, void* self);
    static void onTiming(pa_stream* stream, int success, void* self);
    static void onKick(pa_mainloop_api* api, pa_io_event* event, int fd,
                       pa_io_event_flags_t flags, void* self);
    static void onPump(pa_mainloop_api* api, pa_defer_event* event, void* self);

    // The event thread's, the loop locked.
    void pump();
    void writeFresh(std::size_t frames);
    void stepRewrite();
    bool awaitChange();
    void askTiming();
    void rewriteFrom(const pa_timing_info& info);
    void rest();
    void resume();
    void requestBuffer(const BufferSetting& setting);
    std::size_t queueFrames() const { return request_.tlength / frameBytes(); }

    std::unique_ptr<PulseConnection> connection_;
    pa_stream* stream_ = nullptr;
    pa_io_event* kickEvent_ = nullptr;
    pa_defer_event* pumpEvent_ = nullptr;
    int kickFd_ = -1;
    StreamDriver* driver_ = nullptr;
    SinkFacts sink_;
    std::atomic<bool> lost_{false};
    std::atomic<bool> otherRate_{false};  // moved to a sink of another rate
    bool quiet_ = false;                  // no line for a server that is not there
    // The event thread's own.
    PulseRequest request_;
    bool realtime_ = false;  // its priority has been asked for
    bool corked_ = false;
    bool changePending_ = false;  // a note to carry into the queue once the server says where
    int timingRetries_ = 0;       // answers that could not say where the server writes
    // What was written, to render again: more than the longest queue the policy asks for.
    static constexpr std::size_t kRememberedFrames = 16384;
    QueuedAudio written_{kRememberedFrames};
};

}  // namespace velune
