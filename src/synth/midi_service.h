#pragma once

#include <cstdint>

namespace velune {

// The channel the keyboard plays and the selector picks instruments on.
inline constexpr std::int16_t kKeyboardChannel = 0;

// The outside MIDI world in five operations. Result codes: 0 is success, anything else is an
// error whose text errorText() gives. Module1 is the only caller.
class MidiService {
public:
    virtual ~MidiService() = default;

    // 0 when a default MIDI output exists.
    virtual std::int32_t queryDefaultOutput() = 0;
    // Opens a device (-1 is the default output). On success writes a nonzero handle; on failure
    // leaves handle untouched (callers keep it 0).
    virtual std::int32_t open(std::uint32_t& handle, std::int32_t deviceId) = 0;
    // One packed short message: status in bits 0-7, data1 in 8-15, data2 in 16-23.
    virtual std::int32_t sendShortMessage(std::uint32_t handle, std::uint32_t message) = 0;
    virtual std::int32_t close(std::uint32_t handle) = 0;
    // Writes the NUL-terminated text of a result code into buffer (at most size bytes).
    virtual void errorText(std::int32_t code, char* buffer, std::uint32_t size) = 0;
};

}  // namespace velune
