#include "midi/module1.h"

#include <string>

#include "support/checked_int.h"

namespace velune {

void Module1::CheckMidiDevice() {
    if (service_.queryDefaultOutput() != 0) {
        ReportNoDevice();
    }
}

void Module1::ReportNoDevice() {
    ui_.showMessage(kNoDeviceMessage);
    // No port is open yet, so there is nothing to close: end here, no window's unload runs.
    throw ProgramEnded{1};
}

bool Module1::OpenMidiOut(std::int16_t deviceId) {
    CloseMidiOut();
    const std::int16_t result = toInt16(service_.open(hMidiOut_, deviceId));
    if (result != 0) {
        ReportMidiError(result);
    }
    return hMidiOut_ != 0;
}

void Module1::CloseMidiOut() {
    if (hMidiOut_ == 0) {
        return;
    }
    const std::int16_t result = toInt16(service_.close(hMidiOut_));
    if (result != 0) {
        ReportMidiError(result);
    }
    hMidiOut_ = 0;
}

void Module1::NoteOn(std::int16_t channel, std::int16_t note, std::int16_t velocity) {
    SendShortMessage(add16(channel, kNoteOn), note, velocity);
}

void Module1::NoteOff(std::int16_t channel, std::int16_t note) {
    // A real note off with release velocity 0, never a note on with velocity 0.
    SendShortMessage(add16(channel, kNoteOff), note, 0);
}

void Module1::ControlChange(std::int16_t channel, std::int16_t controller, std::int16_t value) {
    SendShortMessage(add16(channel, kControlChange), controller, value);
}

void Module1::SetInstrument(std::int16_t channel, std::int16_t bank, std::int16_t program) {
    ControlChange(channel, kBankSelect, bank);
    SendShortMessage(add16(channel, kProgramChange), program, 0);
}

void Module1::SendShortMessage(std::int16_t status, std::int16_t data1, std::int16_t data2) {
    // Each step is checked before anything is sent: data1 >= 128 overflows the 16-bit product.
    std::int32_t word = mul16(data1, 256);
    word = add32(word, std::int32_t{data2} * 65536);
    word = add32(word, status);
    const std::int16_t result =
        toInt16(service_.sendShortMessage(hMidiOut_, static_cast<std::uint32_t>(word)));
    if (result != 0) {
        ReportMidiError(result);
    }
}

void Module1::ReportMidiError(std::int16_t errorCode) {
    std::string buffer(kErrorTextSize, ' ');
    service_.errorText(errorCode, buffer.data(), kErrorTextSize);
    // The box shows the text up to its terminating NUL; the padding behind it never shows.
    ui_.showMessage(buffer.substr(0, buffer.find('\0')));
}

}  // namespace velune
