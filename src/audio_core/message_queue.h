#pragma once

// MIDI short messages on their way from the thread that sends them to the thread that renders,
// without a lock: one thread pushes, one thread takes (a single-producer, single-consumer ring).
// The renderer takes them in just before it renders, so it knows exactly which render has them.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velune {

class MessageQueue {
  public:
    // A power of two; far more messages than a player sends while the renderer waits on a hung
    // server.
    static constexpr std::size_t kCapacity = 1024;

    // The sending thread. false: full, the message is not queued.
    bool push(std::uint32_t message) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail - head_.load(std::memory_order_acquire) == kCapacity) return false;
        ring_[tail % kCapacity] = message;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }

    // The taking thread: hands every queued message to `take`, oldest first.
    template <typename Take>
    void takeAll(Take&& take) {
        std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        for (; head != tail; ++head) take(ring_[head % kCapacity]);
        head_.store(head, std::memory_order_release);
    }

  private:
    std::array<std::uint32_t, kCapacity> ring_{};
    alignas(64) std::atomic<std::size_t> head_{0};  // the next to take
    alignas(64) std::atomic<std::size_t> tail_{0};  // where the next goes
};

}  // namespace velune
