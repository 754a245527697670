#pragma once

// What the real-time threads of an audio output have to say, said by another thread: building a
// line and writing it may allocate and block, which a thread that must render in time cannot
// afford. A real-time thread posts a small event with no text of its own (static texts and
// numbers only); the relay's thread turns it into a line of the log.

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

#include "audio_core/buffer_policy.h"
#include "support/diagnostics.h"

namespace velune {

struct AudioEvent {
    enum class Kind {
        Text,      // text, and detail when there is one
        Buffer,    // "<text>: buffer <setting> at <rate> Hz", pinned or not
        Priority,  // real-time priority `number`, or refused with the error `number` when 0
    };
    Kind kind = Kind::Text;
    LogLevel level = LogLevel::Info;
    const char* text = "";          // a static text
    const char* detail = nullptr;   // a static text, e.g. the server's reason
    BufferSetting setting{};
    unsigned rate = 0;
    bool pinned = false;
    int number = 0;
};

// The line an event stands for.
std::string describe(const AudioEvent& event);

class LogRelay {
  public:
    LogRelay();
    // Says what was posted before, then ends its thread.
    ~LogRelay();
    LogRelay(const LogRelay&) = delete;
    LogRelay& operator=(const LogRelay&) = delete;

    // From any thread, a real-time one too: takes no lock and allocates nothing; wakes the relay
    // through an eventfd. False when the relay is behind by kSlots events (the event is lost).
    bool post(const AudioEvent& event);

  private:
    static constexpr std::size_t kSlots = 64;
    struct Slot {
        std::atomic<std::size_t> sequence{0};
        AudioEvent event;
    };
    void run();
    bool take(AudioEvent& event);

    std::array<Slot, kSlots> slots_;
    std::atomic<std::size_t> head_{0};  // the next slot a poster claims
    std::size_t tail_ = 0;              // the next slot the relay reads (its own)
    std::atomic<bool> stopping_{false};
    int wake_ = -1;
    std::thread thread_;
};

}  // namespace velune
