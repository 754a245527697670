#pragma once

// Whether the machine itself stopped: on each processor a thread of the highest real-time
// priority, above the audio server's and the program's, asks to wake every millisecond and notes
// the times it woke late. Nothing in user space can hold such a thread up, so a late wake-up is
// the kernel's or, on a virtual machine, the host's: an idle processor can be held by the host
// for milliseconds or tens of them, and no audio buffer of a few milliseconds rides that out.
// Such a stall is the machine's, not the program's. Short stalls close together hold a thread up
// as one long one does (a busy host takes a processor away for 1-4 ms again and again), so those
// of half the threshold or more (and 1 ms or more) add up within twice the threshold. The audio
// threads' own work cannot delay the watch, so a program that renders too slowly is never
// excused by it.

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "audio_server.h"

namespace velune::rig {

// From when a watching thread was due to wake to when it did.
struct Stall {
    std::chrono::steady_clock::time_point due;
    std::chrono::steady_clock::time_point woke;
    double lostMs = 0;  // what the late wake-ups between took in all
};

struct Stalls {
    bool watched = false;  // false when the threads could not be made real-time
    int count = 0;         // times the machine took the threshold or more away
    double longestMs = 0;  // the most it took at once
    std::vector<Stall> seen;
};

// Adds up what late wake-ups took, and says when it comes to a stall: the threshold lost at
// once, or in short stalls within twice the threshold.
class LostTime {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    explicit LostTime(double stallMs) : stallMs_(stallMs) {}
    // A wake-up due at `due` came at `woke`: the stall this completes, if it does, from when the
    // first of its late wake-ups was due.
    std::optional<Stall> wake(TimePoint due, TimePoint woke);

  private:
    const double stallMs_;
    std::deque<Stall> recent_;  // the late wake-ups of the last window
};

class StallWatch {
  public:
    // How late a wake-up must come to explain a click: about as long as the output's buffer
    // lasts, less the watch's period (a stall that began during a sleep shows that much shorter):
    // 128x3 frames on PulseAudio (5 ms), one 128-frame quantum on PipeWire (2.56 ms at 50 kHz).
    static double stallMsFor(ServerKind server) { return server == ServerKind::PipeWire ? 1.5 : 5; }

    explicit StallWatch(double stallMs);
    ~StallWatch();
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // What the watch saw so far.
    Stalls stalls() const;
    // Ends the watch and says what it saw.
    Stalls stop();

  private:
    void watch(int cpu);

    const double stallMs_;
    mutable std::mutex mutex_;
    bool stop_ = false;
    int processors_ = 0;
    int realtimeThreads_ = 0;
    Stalls seen_;
    std::vector<std::thread> threads_;
};

}  // namespace velune::rig
