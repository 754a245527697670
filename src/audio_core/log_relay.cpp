#include "audio_core/log_relay.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace velune {

std::string describe(const AudioEvent& event) {
    switch (event.kind) {
        case AudioEvent::Kind::Buffer:
            return std::string(event.text) + ": buffer " + toString(event.setting) + " at " +
                   std::to_string(event.rate) + " Hz" + (event.pinned ? " (pinned)" : "");
        case AudioEvent::Kind::Priority:
            return event.number > 0
                       ? "rendering at real-time priority " + std::to_string(event.number)
                       : std::string("rendering at normal priority: ") +
                             std::strerror(-event.number);
        case AudioEvent::Kind::Text:
            break;
    }
    return event.detail != nullptr ? std::string(event.text) + ": " + event.detail
                                   : std::string(event.text);
}

LogRelay::LogRelay() : wake_(eventfd(0, EFD_CLOEXEC)) {
    for (std::size_t i = 0; i < kSlots; ++i) slots_[i].sequence.store(i);
    thread_ = std::thread([this] { run(); });
}

LogRelay::~LogRelay() {
    stopping_.store(true);
    const std::uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) {
        // Nothing to wake: the thread sees stopping_ at its next wake-up anyway.
    }
    thread_.join();
    close(wake_);
}

// A bounded queue of several posters and one reader: each slot's sequence says whose turn it is.
bool LogRelay::post(const AudioEvent& event) {
    std::size_t position = head_.load(std::memory_order_relaxed);
    for (;;) {
        Slot& slot = slots_[position % kSlots];
        const std::size_t sequence = slot.sequence.load(std::memory_order_acquire);
        if (sequence == position) {
            if (head_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                slot.event = event;
                slot.sequence.store(position + 1, std::memory_order_release);
                break;
            }
        } else if (sequence < position) {
            return false;  // full
        } else {
            position = head_.load(std::memory_order_relaxed);
        }
    }
    const std::uint64_t one = 1;
    return write(wake_, &one, sizeof one) == sizeof one;
}

bool LogRelay::take(AudioEvent& event) {
    Slot& slot = slots_[tail_ % kSlots];
    if (slot.sequence.load(std::memory_order_acquire) != tail_ + 1) return false;
    event = slot.event;
    slot.sequence.store(tail_ + kSlots, std::memory_order_release);
    ++tail_;
    return true;
}

void LogRelay::run() {
    for (;;) {
        std::uint64_t count = 0;
        const ssize_t got = read(wake_, &count, sizeof count);
        if (got < 0 && errno == EINTR) continue;
        const bool woken = got == sizeof count;
        AudioEvent event;
        while (take(event)) logMessage(LogArea::Audio, event.level, describe(event));
        if (!woken || stopping_.load()) break;
    }
    AudioEvent event;
    while (take(event)) logMessage(LogArea::Audio, event.level, describe(event));
}

}  // namespace velune
