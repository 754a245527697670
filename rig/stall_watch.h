#pragma once

// Whether the machine itself let a real-time thread wait: a thread of the lowest real-time
// priority, above every ordinary thread and below the audio threads, asks to wake every 2 ms and
// notes the times it woke much later. On a virtual machine an idle processor can be held by the
// host for tens of milliseconds, and no audio buffer of a few milliseconds rides that out; such a
// stall is the machine's, not the program's.

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace velune::rig {

// From when the thread was due to wake to when it did.
struct Stall {
    std::chrono::steady_clock::time_point due;
    std::chrono::steady_clock::time_point woke;
};

struct Stalls {
    bool watched = false;  // false when the thread could not be made real-time
    int count = 0;         // wake-ups kStallMs or more late
    double longestMs = 0;
    std::vector<Stall> seen;
};

class StallWatch {
  public:
    static constexpr double kStallMs = 5;  // about what a 128-frame, 3-period buffer holds

    StallWatch();
    ~StallWatch();
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // What the watch saw so far.
    Stalls stalls() const;
    // Ends the watch and says what it saw.
    Stalls stop();

  private:
    mutable std::mutex mutex_;
    bool stop_ = false;
    Stalls seen_;
    std::thread thread_;
};

}  // namespace velune::rig
