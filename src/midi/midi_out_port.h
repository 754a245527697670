#pragma once

// A MIDI source that other programs connect to: a virtual output port "Velune" of the client
// "Velune", on JACK or on the ALSA sequencer (through RtMidi).

#include <memory>
#include <string>

#include "synth/midi_sink.h"

class RtMidiOut;

namespace velune {

enum class MidiOutApi { Jack, Alsa };

inline constexpr const char* kMidiOutName = "Velune";

class MidiOutPort : public MidiSink {
public:
    // The open port, or null with the reason in `error` (no JACK server, no ALSA sequencer).
    // A JACK server is never started for it.
    static std::unique_ptr<MidiOutPort> open(MidiOutApi api, std::string& error);
    ~MidiOutPort() override;

    void send(std::uint32_t message) override;

private:
    explicit MidiOutPort(std::unique_ptr<RtMidiOut> out);
    std::unique_ptr<RtMidiOut> out_;
};

}  // namespace velune
