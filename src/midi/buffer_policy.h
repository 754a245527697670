#pragma once

// How long the audio buffer is, decided while playing: short while the machine keeps up, longer
// as soon as it does not.
//
//   x1 --underflow--> x4/3 --underflow--> x2 --> x8/3 --> x4 (the cap)
//      <--30 s clean--     <--30 s clean--
//
// Each step makes the whole buffer longer by a third of the start, then by half of it: a
// PulseAudio stream by more periods of the same length (128x3, 128x4, 128x6, 128x8, 128x12),
// which keeps a refill asked for every period, with more of them queued as margin; a PipeWire
// stream, whose quantum is the whole buffer, by longer periods (128, 176, 256, 352, 512 frames).
// An underflow while something sounds (the server found the buffer empty: the player heard a
// click) takes the next longer setting at once, so that a busy machine clicks once rather than on
// and on. After a quiet stretch without one, the buffer steps back one setting, never below where
// it started; when the setting it stepped back to clicks again within a stretch, the next stretch
// is twice as long (up to kLongestStretch), so that a machine that cannot keep the shorter buffer
// does not click every half minute. A pinned setting (chosen by the user) never moves. Driven by
// events and the time they come at, so that it runs the same on a fake clock.

#include <chrono>
#include <string>

namespace velune {

struct BufferSetting {
    unsigned periodFrames;
    unsigned periods;
    friend bool operator==(const BufferSetting&, const BufferSetting&) = default;
};

// "<frames>x<periods>", e.g. "128x3".
std::string toString(const BufferSetting& setting);

class BufferPolicy {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // Clean playing for this long steps the buffer back.
    static constexpr std::chrono::seconds kQuietStretch{30};
    // However often a shorter buffer clicked again, it is tried again after this long.
    static constexpr std::chrono::seconds kLongestStretch{16 * kQuietStretch};
    // What a longer setting has more of.
    enum class Growth { Periods, PeriodFrames };

    BufferPolicy(BufferSetting start, bool pinned, TimePoint now,
                 Growth growth = Growth::PeriodFrames);

    BufferSetting current() const { return current_; }
    bool pinned() const { return pinned_; }

    // The server found the buffer empty. Over silence (at start-up, between notes) nobody heard
    // it, and the buffer stays. True when the setting changed.
    bool underflow(TimePoint now, bool audible = true);
    // Time passes while playing. True when the setting changed.
    bool tick(TimePoint now);

  private:
    BufferSetting at(std::size_t step) const;

    BufferSetting start_;
    Growth growth_;
    std::size_t step_ = 0;  // 0: the start
    BufferSetting current_;
    bool pinned_;
    TimePoint lastChange_;
    std::chrono::seconds stretch_ = kQuietStretch;
    bool steppedBack_ = false;  // the last change was a step back
};

}  // namespace velune
