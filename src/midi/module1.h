#pragma once

// The program's one MIDI output port. Every message leaves through SendShortMessage as one
// packed word, status + data1 * 256 + data2 * 65536, with 16/32-bit overflow checks and no
// masking. Errors of the MIDI service become a modal box with the service's text, and the
// caller carries on as if the call had succeeded.

#include <cstdint>

#include "midi/user_interface.h"
#include "support/user_texts.h"
#include "synth/midi_service.h"

namespace velune {

inline constexpr std::int16_t kNoteOff = 0x80;
inline constexpr std::int16_t kNoteOn = 0x90;
inline constexpr std::int16_t kControlChange = 0xB0;
inline constexpr std::int16_t kProgramChange = 0xC0;
inline constexpr std::int16_t kBankSelect = 0;   // controller 0, most significant byte
inline constexpr std::int16_t kMidiMapper = -1;  // the system's default output
inline constexpr int kErrorTextSize = 128;

class Module1 {
  public:
    Module1(MidiService& service, UserInterface& ui) : service_(service), ui_(ui) {}

    // Shows the no-device message and ends the program (throws ProgramEnded) when the system
    // has no default output.
    void CheckMidiDevice();
    [[noreturn]] void ReportNoDevice();
    bool OpenMidiOut(std::int16_t deviceId);
    void CloseMidiOut();

    void NoteOn(std::int16_t channel, std::int16_t note, std::int16_t velocity);
    void NoteOff(std::int16_t channel, std::int16_t note);
    void ControlChange(std::int16_t channel, std::int16_t controller, std::int16_t value);
    void SetInstrument(std::int16_t channel, std::int16_t bank, std::int16_t program);
    void SendShortMessage(std::int16_t status, std::int16_t data1, std::int16_t data2);
    void ReportMidiError(std::int16_t errorCode);

    std::uint32_t hMidiOut() const { return hMidiOut_; }

  private:
    MidiService& service_;
    UserInterface& ui_;
    std::uint32_t hMidiOut_ = 0;
};

}  // namespace velune
