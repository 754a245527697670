#pragma once

// Plays a FluidSynth synthesizer through a native PipeWire stream. PipeWire's PulseAudio server
// grants a PulseAudio client no quantum shorter than its floor (256 frames by default), which
// puts a key 18-23 ms before its sound; a native stream asks the graph for its own quantum
// through node.latency, and the graph runs at the shortest quantum any of its nodes asks for.
//
//   key -> note on -> [rendered in the next cycle of the graph] -> [driver's quantum] -> ear
//
// Rendering runs in PipeWire's data thread (PW_STREAM_FLAG_RT_PROCESS), which raises itself to
// real-time priority at its first cycle, as PulseOutput's does: PipeWire's client library leaves
// it at the normal priority where RealtimeKit is not running. A cycle the graph ran without us
// (its clock jumped by more than a quantum) counts as an underflow for the BufferPolicy, and a
// longer quantum is asked for at once through node.latency; how late in its cycle the graph
// called on us tells the policy whether this quantum is about to miss one, and whether a shorter
// one would have held. At rest (RestWatch) the stream asks for a longer quantum (kRestQuantum) and
// hands the graph silence without the synthesizer, so that the graph no longer runs at our short
// quantum for silence; wake() asks for the playing quantum again, and the note that woke it is
// rendered in the next cycle, a cycle of the resting quantum away at most: PipeWire cannot take
// back what it has handed to the device. (A stream made inactive instead would let the graph fall
// back to its default quantum, 1024 frames, or suspend the device: the first note after a rest
// sounded 20-40 ms after its key.)

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "buffer_policy.h"
#include "render_thread.h"

typedef struct _fluid_synth_t fluid_synth_t;
struct pw_thread_loop;
struct pw_stream;
struct spa_loop;

namespace velune {

// Tells, from the graph's clock at each cycle we render, whether the graph ran cycles without us
// since the one before (a click). For a few cycles after a change of quantum the clock is no
// guide: when a node asks for another quantum, PipeWire's clock jumps once by up to the default
// quantum (1024 frames) as the graph settles, which would otherwise read as a miss, ask for a
// longer quantum, and jump again.
class CycleWatch {
  public:
    static constexpr int kSettlingCycles = 4;

    // A cycle at `ticks` of the graph's clock asks us for `frames`, `ticksPerFrame` being the
    // ratio of the graph's rate to the stream's: true when cycles passed without us.
    bool cycle(std::uint64_t ticks, std::size_t frames, double ticksPerFrame);
    // The stream rested while the clock ran on: the next cycle starts afresh.
    void restart() { lastTicks_ = 0; }
    // The last cycle came in a graph that had settled: its clock, and when it began, can be
    // trusted.
    bool settled() const { return settled_; }

  private:
    std::uint64_t lastTicks_ = 0;  // 0: no cycle yet
    std::size_t lastFrames_ = 0;
    int settling_ = 0;
    bool settled_ = false;
};

class PipeWireOutput {
  public:
    // A stream of `rate` asking for the period of `policy`'s setting as its quantum, and for a
    // longer one whenever it misses a cycle of the graph; nullptr when no PipeWire daemon can be
    // reached or it refuses the stream.
    static std::unique_ptr<PipeWireOutput> open(fluid_synth_t* synth, unsigned rate,
                                                const BufferPolicy& policy);
    ~PipeWireOutput();
    PipeWireOutput(const PipeWireOutput&) = delete;
    PipeWireOutput& operator=(const PipeWireOutput&) = delete;

    bool lost() const { return lost_.load(std::memory_order_acquire); }
    // A message is about to reach the synthesizer (called from the thread that sends them).
    void wake();

  private:
    // A new quantum for the loop's thread, and why.
    struct Resize {
        BufferSetting setting;
        const char* why;  // for the log
    };
    // The output came to rest, for the loop's thread.
    struct Rest {
        unsigned seen;           // the messages seen then
        unsigned playingFrames;  // the quantum to play at again
    };

    PipeWireOutput() = default;
    bool connect();
    std::string latency() const;
    bool waitUntilStreaming();
    static void onProcess(void* self);
    static void onStateChanged(void* self, int state, const char* error);
    static int onRest(spa_loop* loop, bool async, std::uint32_t seq, const void* data,
                      std::size_t size, void* self);
    static int onResize(spa_loop* loop, bool async, std::uint32_t seq, const void* data,
                        std::size_t size, void* self);
    void askQuantum(unsigned frames);
    void logBuffer(const char* why, const BufferSetting& setting) const;
    // Tells a missed cycle from the graph's clock, and adapts the quantum asked for.
    void watchCycle(std::size_t frames);

    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    unsigned rate_ = 0;
    std::atomic<bool> lost_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> resting_{false};
    std::atomic<bool> resumed_{false};
    // The data thread's own (set before it starts).
    std::optional<BufferPolicy> policy_;
    bool realtime_ = false;  // its priority has been asked for
    CycleWatch cycles_;
    RestWatch rest_;
    std::optional<unsigned> restAskedAt_;  // the messages seen when rest was last asked for
    // The loop's thread's own (or under its lock).
    unsigned playingFrames_ = 0;  // the quantum to ask for when the rest ends
};

}  // namespace velune
