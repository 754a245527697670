#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace velune {

// Somewhere besides the built-in synthesizer that the played messages go to: another program's
// MIDI input, a recording. Called on the thread that plays, in the order of playing.
class MidiSink {
public:
    virtual ~MidiSink() = default;
    // One packed short message, as the MIDI service gets it.
    virtual void send(std::uint32_t message) = 0;
    // The port is closing: keep everything received so far.
    virtual void flush() {}
};

// The bytes of a channel message on the wire: status, then one or two data bytes.
struct MidiBytes {
    std::array<std::uint8_t, 3> data{};
    std::size_t size = 0;
};

// Unpacks status + data1 * 256 + data2 * 65536. Nothing when the word is no channel message
// (a status outside 0x80-0xEF, a data byte of 128 or more, bits above 23): what other programs
// and files get must be MIDI, whatever the built-in synthesizer is willing to take.
inline std::optional<MidiBytes> unpackShortMessage(std::uint32_t word) {
    const std::uint8_t status = word & 0xFF;
    const std::uint8_t data1 = (word >> 8) & 0xFF;
    const std::uint8_t data2 = (word >> 16) & 0xFF;
    if (status < 0x80 || status >= 0xF0 || data1 >= 0x80 || (word >> 24) != 0) {
        return std::nullopt;
    }
    // Program change and channel pressure carry one data byte; the second byte of the word
    // is then not sent.
    const std::uint8_t kind = status & 0xF0;
    if (kind == 0xC0 || kind == 0xD0) {
        return MidiBytes{{status, data1, 0}, 2};
    }
    if (data2 >= 0x80) {
        return std::nullopt;
    }
    return MidiBytes{{status, data1, data2}, 3};
}

}  // namespace velune
