#pragma once

// A Standard MIDI File of one take: format 0, one track, 1000 ticks per quarter note at 120
// beats per minute (500000 microseconds per quarter), so one tick is half a millisecond.

#include <cstdint>
#include <string>
#include <vector>

namespace velune {

inline constexpr std::uint16_t kTicksPerQuarter = 1000;
inline constexpr std::uint32_t kMicrosecondsPerQuarter = 500000;

struct TimedMessage {
    std::int64_t microseconds;  // since the take began, never decreasing
    std::uint32_t message;      // packed short message
};

// The file's bytes. Words that are no channel message are left out.
std::string encodeStandardMidiFile(const std::vector<TimedMessage>& take);

}  // namespace velune
