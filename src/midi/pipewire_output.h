#pragma once

// Plays a FluidSynth synthesizer through a native PipeWire stream. PipeWire's PulseAudio server
// grants a PulseAudio client no quantum shorter than its floor (256 frames by default), which
// puts a key 18-23 ms before its sound; a native stream asks the graph for its own quantum
// through node.latency, and the graph runs at the shortest quantum any of its nodes asks for.
//
//   key -> note on -> [rendered in the next cycle of the graph] -> [driver's quantum] -> ear
//
// Rendering runs in PipeWire's real-time data thread (PW_STREAM_FLAG_RT_PROCESS). At rest (as
// PulseOutput: a second without messages, a tenth of a second below -120 dBFS) the stream is made
// inactive, so that the graph no longer runs at our short quantum for silence; wake() makes it
// active again, and the note that woke it is rendered in the next cycle.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

typedef struct _fluid_synth_t fluid_synth_t;
struct pw_thread_loop;
struct pw_stream;
struct spa_loop;

namespace velune {

struct BufferSetting;

class PipeWireOutput {
  public:
    // A stream of `rate` asking for `setting`'s period as its quantum; nullptr when no PipeWire
    // daemon can be reached or it refuses the stream.
    static std::unique_ptr<PipeWireOutput> open(fluid_synth_t* synth, unsigned rate,
                                                const BufferSetting& setting);
    ~PipeWireOutput();
    PipeWireOutput(const PipeWireOutput&) = delete;
    PipeWireOutput& operator=(const PipeWireOutput&) = delete;

    bool lost() const { return lost_.load(std::memory_order_acquire); }
    // A message is about to reach the synthesizer (called from the thread that sends them).
    void wake();

  private:
    PipeWireOutput() = default;
    bool connect(unsigned rate, const BufferSetting& setting);
    bool waitUntilStreaming();
    static void onProcess(void* self);
    static void onStateChanged(void* self, int state, const char* error);
    static int onRest(spa_loop* loop, bool async, std::uint32_t seq, const void* data,
                      std::size_t size, void* self);
    bool render(float* data, std::size_t frames);

    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    unsigned rate_ = 0;
    std::atomic<bool> lost_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<unsigned> messages_{0};
    std::atomic<bool> resting_{false};
    // The data thread's own.
    unsigned messagesSeen_ = 0;
    std::size_t framesSinceMessage_ = 0;
    std::size_t quietFrames_ = 0;
    bool restAsked_ = false;
};

}  // namespace velune
