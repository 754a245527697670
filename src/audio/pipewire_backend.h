#pragma once

// Plays a StreamDriver through a native PipeWire stream. PipeWire's PulseAudio server grants a
// PulseAudio client no quantum shorter than its floor (256 frames by default), which puts a key
// 18-23 ms before its sound; a native stream asks the graph for its own quantum through
// node.latency, and the graph runs at the shortest quantum any of its nodes asks for.
//
//   key -> note on -> [rendered in the next cycle of the graph] -> [driver's quantum] -> ear
//
// Rendering runs in PipeWire's data thread (PW_STREAM_FLAG_RT_PROCESS), which takes real-time
// priority at its first cycle. A cycle the graph ran without us (CycleWatch) counts as an
// underflow for the driver's policy, and a second soon after it asks for a longer quantum; how late
// in its cycle the graph called on us tells the policy whether this quantum is about to miss one,
// and whether a shorter one would have held. What the data thread decides, the loop's thread asks
// the graph for (pw_loop_invoke); what the window's thread has to say reaches the loop's thread
// through an event (kick()), without a lock.
//
// At rest the stream hands the graph silence without the synthesizer, and keeps its quantum: the
// note that ends the rest is rendered in the next cycle, as while playing. (A longer quantum at
// rest saved the server a little work, but the change back cost the first note a cycle of the
// resting quantum and a cycle the graph dropped while it changed, 10-15 ms; a stream made inactive
// lets the graph fall back to its default quantum, 1024 frames, or suspend the device, and the
// first note after a rest sounded 20-40 ms after its key.)

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/cycle_watch.h"
#include "audio_core/audio_backend.h"
#include "audio_core/buffer_policy.h"

struct pw_thread_loop;
struct pw_stream;
struct spa_loop;
struct spa_source;

namespace velune {

class StreamDriver;

class PipeWireBackend : public AudioBackend {
  public:
    // A stream at the driver's rate asking for the period of its setting as its quantum;
    // nullptr when no PipeWire daemon can be reached or it refuses the stream (logged).
    static std::unique_ptr<PipeWireBackend> open(StreamDriver& driver);
    ~PipeWireBackend() override;
    PipeWireBackend(const PipeWireBackend&) = delete;
    PipeWireBackend& operator=(const PipeWireBackend&) = delete;

    void kick() override;
    bool lost() const override { return lost_.load(std::memory_order_acquire); }

  private:
    // A new quantum for the loop's thread.
    struct Resize {
        BufferSetting setting;
    };

    explicit PipeWireBackend(StreamDriver& driver) : driver_(driver) {}
    bool connect();
    bool waitUntilStreaming();
    static void onProcess(void* self);
    static void onStateChanged(void* self, int state, const char* error);
    static void onKick(void* self, std::uint64_t count);
    static int onResize(spa_loop* loop, bool async, std::uint32_t seq, const void* data,
                        std::size_t size, void* self);
    void askQuantum(unsigned frames);
    // Tells a missed cycle from the graph's clock, and adapts the quantum asked for.
    void watchCycle(std::size_t frames);
    // Has the loop's thread ask for the quantum of `setting` (the data thread).
    void resize(const BufferSetting& setting);

    StreamDriver& driver_;
    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;  // null once closing: what is still queued finds nothing
    spa_source* kickEvent_ = nullptr;
    std::atomic<bool> lost_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> streaming_{false};
    std::atomic<bool> silent_{false};     // the data thread hands over silence (at rest)
    std::atomic<bool> restarted_{false};  // the rest ended: the clock is taken up afresh
    // The data thread's own.
    bool realtime_ = false;
    CycleWatch cycles_;
};

}  // namespace velune
