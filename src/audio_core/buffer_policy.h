#pragma once

// How long the audio buffer is, decided while playing: short while the machine keeps up, longer
// as soon as it does not.
//
//   128 --underflow--> 176 --underflow--> 256 --> 352 --> 512 frames a period (the cap)
//       <--30 s clean--     <--30 s clean--
//
// (A PulseAudio stream starts where its sink allows: on a local one 64, 96, 128, 176, 256.)
//
// Each step makes the period about 40 % longer than the one before, up to four times the start,
// the number of periods staying: smaller steps than doubling, so that a busy machine costs a few
// milliseconds of latency rather than twice the buffer. (Adding periods of the same length
// instead made a PulseAudio stream click more, not less: in the benchmark it climbed to 128x12
// on an idle machine.) PipeWire runs its graph at a quantum of a power of two, so a PipeWire
// stream doubles its period instead (128, 256, 512): a step between two powers would only cost a
// click. And there a change of quantum drops a cycle of its own: one click alone (the machine
// stopped once) leaves the quantum, and only a second within kRecurrence at the same quantum grows
// it, so that a single stall is one click and not two, and the cycle a growth drops does not grow
// the quantum once more.
// An underflow while something sounds (the server found the buffer empty: the player heard a
// click) takes the next longer setting at once, so that a busy machine clicks once rather than on
// and on. After a quiet stretch without one, the buffer steps back one setting, never below where
// it started; when the setting it stepped back to clicks again within a stretch, the next stretch
// is twice as long (up to kLongestStretch), so that a machine that cannot keep the shorter buffer
// does not click every half minute. Where the output can tell how late in its cycle the server
// asked it for sound, a cycle that used more than kStrain of the shorter setting's period would
// have clicked there: the stretch starts again, so that a machine that only just keeps up does
// not step back into clicks. A late cycle that made it does not grow the buffer: on PipeWire the
// change of quantum drops a cycle itself, so growing before a click only made one. A pinned
// setting (chosen by the user) never moves. Driven by events and the time they come at, so that
// it runs the same on a fake clock.

#include <chrono>
#include <optional>
#include <span>
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
    // How much of the shorter setting's period a cycle's lateness may take for that setting
    // still to count as keeping up: the rest of the cycle is the server's.
    static constexpr double kStrain = 0.75;
    // With Steps::Doubling, a click grows the buffer only when another came this soon before it.
    static constexpr std::chrono::seconds kRecurrence{10};
    enum class Steps { Fine, Doubling };

    BufferPolicy(BufferSetting start, bool pinned, TimePoint now, Steps steps = Steps::Fine);

    BufferSetting current() const { return current_; }
    bool pinned() const { return pinned_; }

    // The server found the buffer empty. Over silence (at start-up, between notes) nobody heard
    // it, and the buffer stays. True when the setting changed.
    bool underflow(TimePoint now, bool audible = true);
    // Starts again from `start`, as if new (the output plays to another kind of device).
    void restartAt(BufferSetting start, TimePoint now);
    // Time passes while playing. True when the setting changed.
    bool tick(TimePoint now);
    // A cycle at `now` asked for sound `late` after it began, at `rate` frames a second.
    void cycleLate(TimePoint now, std::chrono::nanoseconds late, unsigned rate);

  private:
    std::span<const unsigned> thirds() const;
    BufferSetting at(std::size_t step) const;

    BufferSetting start_;
    Steps steps_;
    std::size_t step_ = 0;  // 0: the start
    BufferSetting current_;
    bool pinned_;
    TimePoint lastChange_;
    TimePoint quietSince_;  // neither a click nor a late cycle since
    std::chrono::seconds stretch_ = kQuietStretch;
    bool steppedBack_ = false;  // the last change was a step back
    std::optional<TimePoint> lastClick_;
};

}  // namespace velune
