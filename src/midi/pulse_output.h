#pragma once

// Plays a FluidSynth synthesizer through a PulseAudio playback stream, tuned for live playing
// (when the server is PipeWire's, through a native PipeWire stream instead: PipeWireOutput): the
// synthesizer renders what the server asks for on the spot.
//
//   key -> note on -> [queued at the server, rendered again] -> sink -> ear
//
// A long queue rides out a busy moment, but a note that waited behind it would sound that much
// later. So when a note starts, what the server has queued and can still replace is rendered again
// with the note in it (QueuedAudio): the note sounds a millisecond or so after the sink's own
// buffer, however long the queue. The sink's buffer is one period, the queue sixteen at least,
// refilled fifteen at a time. Rendering runs in the client library's event thread, at real-time
// priority where the system allows it. When the server goes away, lost() turns true so that the
// MIDI service can tell the user and open a new output later.
//
// The buffer starts short and grows at the first underflow the server reports, before a second
// click, then shrinks again after a clean stretch (BufferPolicy); the stream stays as it is, only
// its buffer attributes change, so nothing already queued is lost or delayed.
//
// At rest (RestWatch) the stream is corked and its buffer made half a second long: a paused
// stream's latency request still sets the pace of the sink. wake(), called before every message,
// restores the short buffer, drops the silence queued meanwhile and uncorks; the note that woke it
// is written at once, without waiting for the server to ask, and is the first thing played.

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "buffer_policy.h"
#include "queued_audio.h"
#include "render_thread.h"

typedef struct _fluid_synth_t fluid_synth_t;
struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_sink_info;
struct pa_server_info;
struct pa_operation;
struct pa_mainloop_api;

namespace velune {

class PipeWireOutput;

// Everything that decides how long a key takes to sound, in one place.
struct AudioFormat {
    unsigned sampleRate = 0;  // 0: the rate of the audio server's default output
    // Where the buffer starts on PipeWire, whose queue cannot be rendered again: three periods of
    // 128 frames, 7.7 ms at 50 kHz, the shortest that plays clean on a quiet two-core machine. A
    // busy machine drops out now and then, and the buffer grows at the first dropout
    // (BufferPolicy). PulseAudio's own server starts at kPulseStart (pulse_output.cpp), unless the
    // buffer is pinned. See the benchmark.
    unsigned periodFrames = 128;
    unsigned periods = 3;
    // The user chose this buffer: it does not adapt.
    bool pinned = false;
};

inline constexpr unsigned kFallbackSampleRate = 48000;
// The period of an output whose buffer cannot adapt: three of them stay clean on a two-core
// machine whose other core is busy.
inline constexpr unsigned kSteadyPeriodFrames = 128;

// "<frames>x<periods>", e.g. "128x3": another buffer for a machine that drops out. Nothing for
// text that is not one.
struct ParsedBuffer {
    unsigned periodFrames;
    unsigned periods;
};
bool parseBuffer(const char* text, ParsedBuffer& buffer);
// Pins the buffer `text` names (VELUNE_AUDIO_BUFFER); a text that names none is logged as
// ignored and leaves the format as it is. Nothing to do for no text.
void pinBuffer(const char* text, AudioFormat& format);

class PulseOutput {
  public:
    // Connects to the audio server and learns the rate of its default sink; nullptr when no
    // PulseAudio server can be reached. The connection is kept for start().
    static std::unique_ptr<PulseOutput> connect();
    // Connects and starts in one step; nullptr when no server can be reached or it refuses.
    static std::unique_ptr<PulseOutput> open(fluid_synth_t* synth, const AudioFormat& format);
    ~PulseOutput();
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    // The sample rate of the server's default sink, so that nothing resamples; 0 when unknown.
    unsigned sinkRate() const { return sinkRate_; }
    // Starts playing `synth` at `format` (a zero rate means sinkRate()); false when the server
    // refuses the stream.
    bool start(fluid_synth_t* synth, const AudioFormat& format);

    bool lost() const;
    // A message is about to reach the synthesizer (called from the thread that sends them).
    void wake();
    // A note has started in the synthesizer (called from the thread that sends messages): the
    // queue is rendered again in the event thread, so that the note sounds at once. Only on
    // PulseAudio's own server, whose queue takes a write over what it holds.
    void noteStarted();

  private:
    PulseOutput() = default;
    bool waitUntil(bool (*ready)(PulseOutput&));
    void await(pa_operation* operation);
    bool playThroughPipeWire(const BufferPolicy& policy);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWrite(pa_stream* stream, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onBufferSet(pa_stream* stream, int success, void* self);
    bool write(std::size_t bytes);
    void rest();
    void resume();
    // Asks the server for `setting` (the loop locked).
    void requestBuffer(const BufferSetting& setting);
    void logBuffer(const char* why);
    static void onNoteStarted(pa_mainloop_api* api, void* self);
    void rewrite();
    void fail(const char* what);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    unsigned sinkRate_ = 0;
    bool onPipeWire_ = false;
    std::unique_ptr<PipeWireOutput> pipewire_;
    unsigned rate_ = 0;
    std::atomic<bool> lost_{false};
    std::atomic<bool> corked_{false};
    // Under the loop's lock.
    std::optional<BufferPolicy> policy_;
    bool resumed_ = false;  // nothing written since the stream woke
    // The event thread's own.
    bool realtime_ = false;  // its priority has been asked for
    RestWatch rest_;
    // What was written, to render again when a note starts (under the loop's lock): more than
    // the longest buffer the policy asks for.
    static constexpr std::size_t kRememberedFrames = 8192;
    QueuedAudio queued_{kRememberedFrames};
    std::vector<float> rewritten_ = std::vector<float>(kRememberedFrames * QueuedAudio::kChannels);
    std::atomic<bool> rewriteAsked_{false};
};

}  // namespace velune
