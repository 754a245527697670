#pragma once

// What every audio backend does the same way, written once: it renders the source and watches
// for the rest (RestWatch), adapts the buffer (BufferPolicy), takes real-time priority, and says
// what happens through the LogRelay. A backend (PulseAudio, PipeWire, ALSA) is a thin adapter
// around it:
//
//   messages' thread --message()--> [atomics] --kick--> backend's thread --render()--> source
//                                                        |-- underflow(), tick(), lateInCycle()
//                                                        `-- beginRest(), endRest()
//
// The thread that sends messages (the window's) touches only atomics here and never waits for
// the backend's thread; everything else belongs to the backend's real-time thread, which takes
// no lock, allocates nothing and logs only through the relay.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "audio_core/buffer_policy.h"
#include "audio_core/log_relay.h"
#include "audio_core/rest_watch.h"

namespace velune {

class RenderSource;

// The priority a rendering thread asks for (FluidSynth's own default for its audio threads).
inline constexpr int kRealtimePriority = 60;

class StreamDriver {
  public:
    using Clock = std::chrono::steady_clock;

    StreamDriver(RenderSource& source, unsigned rate, BufferPolicy policy, LogRelay& log,
                 std::chrono::milliseconds restAfter = RestWatch::kQuietStretch);

    // -- The thread that sends messages.
    // A message is on its way to the source: the source takes it next, then message() follows.
    void messageBegins() { messages_.fetch_add(1, std::memory_order_acq_rel); }
    // The source has taken a message; `changesSound`: it starts or ends a note, which the queued
    // sound should carry at once. True when the backend's thread has something to do about it
    // (the rest to end, the queue to render again): the backend is to be kicked.
    bool message(bool changesSound);

    // -- The backend's thread (real-time once enterRealtime() has run).
    // Once, at its first callback: real-time priority where the system allows it.
    void enterRealtime();
    // Renders `frames` stereo frames into `data`; true when the output has come to rest.
    bool render(float* data, std::size_t frames);
    // A note started or ended since the last call that no render has taken in yet (only where
    // the backend renders its queue again: setRewrites()). A change a render already took in
    // sounds where that render put it: rendering the queue again would continue the source from
    // where it had got to, and cut the start of the note away.
    bool takeChange() {
        const bool changed = change_.exchange(false, std::memory_order_acq_rel);
        return changed && messages_.load(std::memory_order_acquire) / 2 > renderedMessages_;
    }
    void setRewrites(bool rewrites) { rewrites_.store(rewrites); }

    // The buffer policy; each returns the new setting when it changed, and logs why.
    std::optional<BufferSetting> underflow(bool audible);
    std::optional<BufferSetting> missedCycle(bool audible);
    void lateInCycle(std::chrono::nanoseconds late);
    std::optional<BufferSetting> tick();
    BufferSetting setting() const { return policy_.current(); }
    // Adapts from `start` on instead (the stream moved to a sink of another kind).
    void restartAt(const BufferSetting& start) { policy_.restartAt(start, Clock::now()); }
    bool pinned() const { return pinned_; }
    // Whether what was rendered last was silence for the whole buffer: a dropout then is unheard.
    bool quietForBuffer() const;
    std::size_t quietFrames() const { return rest_.quietFrames(); }

    // The rest: beginRest() once render() said so, false when a message came meanwhile (play on);
    // endRest() true once a message has come since the rest began (the backend plays again).
    bool beginRest();
    bool endRest();
    bool resting() const { return resting_.load(std::memory_order_acquire); }
    void forgetQuiet() { rest_.forgetQuiet(); }

    unsigned rate() const { return rate_; }
    void log(LogLevel level, const char* text, const char* detail = nullptr);
    void logBuffer(const char* why);
    void logBuffer(const char* why, const BufferSetting& setting);

  private:
    std::optional<BufferSetting> changed(bool changed, const char* why);

    RenderSource& source_;
    unsigned rate_;
    BufferPolicy policy_;
    const bool pinned_;
    LogRelay& log_;
    RestWatch rest_;
    std::atomic<bool> change_{false};
    std::atomic<bool> rewrites_{false};
    // Counts twice each message the source has taken, and once more while one is on its way.
    std::atomic<std::uint64_t> messages_{0};
    // The backend's thread's: the messages the source had taken by the last render (one on its
    // way then counts as taken: it is seldom not, and a note taken late only waits).
    std::uint64_t renderedMessages_ = 0;
    std::atomic<bool> resting_{false};
    std::atomic<unsigned> seenAtRest_{0};
};

}  // namespace velune
