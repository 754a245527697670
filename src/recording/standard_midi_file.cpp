#include "recording/standard_midi_file.h"

#include <algorithm>

#include "synth/midi_sink.h"

namespace velune {

namespace {

constexpr std::int64_t kMicrosecondsPerTick = kMicrosecondsPerQuarter / kTicksPerQuarter;

void putBigEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

// A variable-length quantity: seven bits a byte, most significant first, the high bit set on
// all but the last byte.
void putVariableLength(std::string& out, std::uint32_t value) {
    char bytes[5];
    int count = 0;
    do {
        bytes[count++] = static_cast<char>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1) {
        out.push_back(static_cast<char>(bytes[--count] | 0x80));
    }
    out.push_back(bytes[0]);
}

std::string trackEvents(const std::vector<TimedMessage>& take) {
    std::string events;
    // Tempo: FF 51 03 and the microseconds per quarter note.
    events.append("\x00\xFF\x51\x03", 4);
    putBigEndian(events, kMicrosecondsPerQuarter, 3);
    std::int64_t lastTick = 0;
    for (const TimedMessage& timed : take) {
        const auto bytes = unpackShortMessage(timed.message);
        if (!bytes) {
            continue;
        }
        const std::int64_t tick = std::max(
            lastTick, (timed.microseconds + kMicrosecondsPerTick / 2) / kMicrosecondsPerTick);
        putVariableLength(events, static_cast<std::uint32_t>(tick - lastTick));
        events.append(reinterpret_cast<const char*>(bytes->data.data()), bytes->size);
        lastTick = tick;
    }
    events.append("\x00\xFF\x2F\x00", 4);  // end of track
    return events;
}

}  // namespace

std::string encodeStandardMidiFile(const std::vector<TimedMessage>& take) {
    std::string file("MThd", 4);
    putBigEndian(file, 6, 4);
    putBigEndian(file, 0, 2);  // format 0
    putBigEndian(file, 1, 2);  // one track
    putBigEndian(file, kTicksPerQuarter, 2);
    const std::string events = trackEvents(take);
    file.append("MTrk", 4);
    putBigEndian(file, static_cast<std::uint32_t>(events.size()), 4);
    return file + events;
}

}  // namespace velune
