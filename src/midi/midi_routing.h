#pragma once

// Where the played messages go, as the command line asked: the built-in synthesizer, another
// program's MIDI input, a recording. The MIDI routines see one MIDI service either way.

#include <memory>
#include <optional>
#include <string>

#include "midi/midi_out_port.h"
#include "midi/midi_tee.h"
#include "recording/midi_file_recorder.h"
#include "synth/midi_service.h"

namespace velune {

class MidiRouting {
public:
    struct Request {
        std::optional<MidiOutApi> midiOut;  // a port for other programs
        bool synth = true;                  // false only together with midiOut
        std::string recordPath;             // empty: no recording
    };

    // Starts the recording, so that a place that cannot be written is refused before anything
    // else starts; its saving thread does not read the environment.
    explicit MidiRouting(const Request& request);
    // Opens the port for other programs. Its library reads the environment and starts threads
    // of its own: only once Qt's platform is up.
    void openPort();

    // Why the recording cannot be written where it was asked for; empty when it can.
    const std::string& recordingError() const { return recordingError_; }
    // The port was asked for and could not be opened.
    bool portFailed() const { return portFailed_; }
    // The built-in synthesizer plays when asked for, and in place of a port that failed.
    bool synthNeeded() const { return synthNeeded_; }
    // The service for the MIDI routines; synth is null when no synthesizer is needed. Call once.
    MidiService& service(MidiService* synth);

private:
    std::optional<MidiOutApi> midiOut_;
    std::string recordingError_;
    bool portFailed_ = false;
    bool synthNeeded_ = true;
    std::unique_ptr<MidiFileRecorder> recorder_;
    std::unique_ptr<MidiOutPort> port_;
    std::unique_ptr<MidiTee> tee_;
};

}  // namespace velune
