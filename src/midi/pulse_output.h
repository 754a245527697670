#pragma once

// Plays a FluidSynth synthesizer through a PulseAudio playback stream (PipeWire serves the same
// protocol), tuned for live playing: the server asks for one short period at a time and the
// synthesizer renders it on the spot, so a note played now is in the next period written.
//
//   key -> note on -> [next period rendered] -> [periods queued at the server] -> sink -> ear
//
// The latency is about the queued periods plus the sink's own buffer, which the server sizes
// from the same request (PA_STREAM_ADJUST_LATENCY). Rendering runs in the client library's
// event thread, at real-time priority where the system allows it. When the server goes away,
// lost() turns true so that the MIDI service can tell the user and open a new output later.
//
// At rest the stream is paused: once no message has come for a second and the output (reverb
// tails included) has stayed below -120 dBFS for a tenth of a second, the stream is corked, so
// that neither the server nor the synthesizer wakes up hundreds of times a second for silence.
// wake(), called before every message, uncorks it; what was queued before (silence) plays
// first, so the note that woke it keeps its usual latency, plus one message to the server.

#include <atomic>
#include <cstddef>
#include <memory>

typedef struct _fluid_synth_t fluid_synth_t;
struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_sink_info;

namespace velune {

// Everything that decides how long a key takes to sound, in one place.
struct AudioFormat {
    unsigned sampleRate = 0;  // 0: the rate of the audio server's default output
    // Three periods of 128 frames: 7.7 ms at 50 kHz, queue and sink together. Less drops out
    // on a two-core machine whose other core is busy (the server needs about half the buffer
    // to answer a request in time); see the benchmark.
    unsigned periodFrames = 128;
    unsigned periods = 3;
};

inline constexpr unsigned kFallbackSampleRate = 48000;

// "<frames>x<periods>", e.g. "128x3": another buffer for a machine that drops out. Nothing for
// text that is not one.
struct ParsedBuffer {
    unsigned periodFrames;
    unsigned periods;
};
bool parseBuffer(const char* text, ParsedBuffer& buffer);

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

    bool lost() const { return lost_.load(std::memory_order_acquire); }
    // A message is about to reach the synthesizer (called from the thread that sends them).
    void wake();

private:
    PulseOutput() = default;
    bool waitUntil(bool (*ready)(PulseOutput&));
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWrite(pa_stream* stream, std::size_t bytes, void* self);
    // Renders `frames` into `data`, and corks the stream once at rest.
    void render(float* data, std::size_t frames);
    void rest();

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    unsigned sinkRate_ = 0;
    unsigned rate_ = 0;
    std::atomic<bool> lost_{false};
    std::atomic<unsigned> messages_{0};
    std::atomic<bool> corked_{false};
    // The event thread's own.
    bool realtime_ = false;  // its priority has been asked for
    unsigned messagesSeen_ = 0;
    std::size_t framesSinceMessage_ = 0;
    std::size_t quietFrames_ = 0;
};

}  // namespace velune
