#pragma once

// What every audio backend does the same way, written once: it renders the source and watches
// for the rest (RestWatch), adapts the buffer (BufferPolicy), takes real-time priority, and says
// what happens through the LogRelay. A backend (PulseAudio, PipeWire, ALSA) is a thin adapter
// around it:
//
//   messages' thread --post()--> [message queue] --kick--> backend's thread --render()--> source
//                                                           |-- underflow(), tick(), lateInCycle()
//                                                           `-- beginRest(), endRest()
//
// The thread that sends messages (the window's) touches only the lock-free queue and atomics here
// and never waits for the backend's thread; the backend's thread hands the messages to the source
// itself, just before a render, so it knows exactly which render sounds a note first. Everything
// here but post() belongs to the backend's real-time thread, which takes no lock, allocates
// nothing and logs only through the relay.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "audio_core/buffer_policy.h"
#include "audio_core/log_relay.h"
#include "audio_core/message_queue.h"
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
    enum class Posted {
        Queued,  // the backend's thread takes it in before it renders next
        Kick,    // and it is to be kicked: the rest to end, or a note to carry into the queue
        Full,    // not queued: the backend's thread has not rendered for a long while (a hung
                 // server); what sounds is silenced when it renders again, so nothing hangs on
    };
    // A packed short message for the source, checked by the sender.
    Posted post(std::uint32_t message);

    // -- The backend's thread (real-time once enterRealtime() has run).
    // Once, at its first callback: real-time priority where the system allows it.
    void enterRealtime();
    // Renders `frames` stereo frames into `data`; true when the output has come to rest. Where
    // the backend renders its queue again (setRewrites()), the messages wait for takeChange();
    // elsewhere the source takes them in first.
    bool render(float* data, std::size_t frames);
    // The source takes in the messages that came; true when one starts or ends a note, which the
    // sound already queued should then carry (the backend renders its queue again). Before any
    // render that goes to the end of the queue, so that no note is taken in there.
    bool takeChange() { return takeMessages(); }
    // The messages still queued once the backend's thread has stopped, taken in by the caller:
    // an instrument chosen meanwhile holds on the next output.
    void takeLeftovers() { takeMessages(); }
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
    bool takeMessages();

    RenderSource& source_;
    unsigned rate_;
    BufferPolicy policy_;
    const bool pinned_;
    LogRelay& log_;
    RestWatch rest_;
    std::atomic<bool> rewrites_{false};
    MessageQueue messages_;
    std::atomic<bool> overflowed_{false};
    std::atomic<bool> resting_{false};
    std::atomic<unsigned> seenAtRest_{0};
};

}  // namespace velune
