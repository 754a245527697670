#include "midi/midi_routing.h"

#include "support/diagnostics.h"

namespace velune {

MidiRouting::MidiRouting(const Request& request)
    : midiOut_(request.midiOut), synthNeeded_(request.synth) {
    if (!request.recordPath.empty()) {
        recorder_ = MidiFileRecorder::start(request.recordPath, recordingError_);
    }
}

void MidiRouting::openPort() {
    if (midiOut_) {
        std::string error;
        port_ = MidiOutPort::open(*midiOut_, error);
        if (!port_) {
            portFailed_ = true;
            synthNeeded_ = true;
            const char* api = *midiOut_ == MidiOutApi::Jack ? "JACK" : "ALSA";
            logMessage(LogArea::Midi, LogLevel::Warning,
                       std::string("cannot open the ") + api + " MIDI output port: " + error +
                           "; playing on the built-in synthesizer only");
        }
    }
}

MidiService& MidiRouting::service(MidiService* synth) {
    std::vector<MidiSink*> sinks;
    if (port_) {
        sinks.push_back(port_.get());
    }
    if (recorder_) {
        sinks.push_back(recorder_.get());
    }
    if (sinks.empty() && synth != nullptr) {
        return *synth;
    }
    tee_ = std::make_unique<MidiTee>(synth, std::move(sinks));
    return *tee_;
}

}  // namespace velune
