#pragma once

// The MIDI service that the MIDI routines talk to when messages also go elsewhere: every
// message sent on the open port reaches the built-in synthesizer first and then each sink, in
// the order they were sent, before the call returns. Without a synthesizer (sound left to other
// programs) the tee is the output itself: it always exists and always opens.

#include <cstdint>
#include <vector>

#include "synth/midi_service.h"
#include "synth/midi_sink.h"

namespace velune {

class MidiTee : public MidiService {
public:
    // synth may be null; it and the sinks must outlive the tee.
    MidiTee(MidiService* synth, std::vector<MidiSink*> sinks);

    std::int32_t queryDefaultOutput() override;
    std::int32_t open(std::uint32_t& handle, std::int32_t deviceId) override;
    std::int32_t sendShortMessage(std::uint32_t handle, std::uint32_t message) override;
    std::int32_t close(std::uint32_t handle) override;
    void errorText(std::int32_t code, char* buffer, std::uint32_t size) override;

    // The result of a send on a port that is not open, when there is no synthesizer.
    static constexpr std::int32_t kNotOpen = 1;

private:
    MidiService* synth_;
    std::vector<MidiSink*> sinks_;
    std::uint32_t handle_ = 0;  // the open port's handle; 0 while closed
};

}  // namespace velune
