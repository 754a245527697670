#include "midi/midi_out_port.h"

#include <rtmidi/RtMidi.h>

#include "support/diagnostics.h"

namespace velune {

std::unique_ptr<MidiOutPort> MidiOutPort::open(MidiOutApi api, std::string& error) {
    const RtMidi::Api rtApi = api == MidiOutApi::Jack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA;
    try {
        auto out = std::make_unique<RtMidiOut>(rtApi, kMidiOutName);
        out->openVirtualPort(kMidiOutName);
        return std::unique_ptr<MidiOutPort>(new MidiOutPort(std::move(out)));
    } catch (const RtMidiError& failure) {
        error = failure.getMessage();
        return nullptr;
    }
}

MidiOutPort::MidiOutPort(std::unique_ptr<RtMidiOut> out) : out_(std::move(out)) {}

MidiOutPort::~MidiOutPort() = default;

void MidiOutPort::send(std::uint32_t message) {
    const auto bytes = unpackShortMessage(message);
    if (!bytes) {
        return;
    }
    try {
        out_->sendMessage(bytes->data.data(), bytes->size);
    } catch (const RtMidiError& failure) {
        // A full JACK buffer or a vanished server: the built-in sound plays on regardless.
        logMessage(LogArea::Midi, LogLevel::Warning,
                   "MIDI out: a message was not sent: " + failure.getMessage());
    }
}

}  // namespace velune
