#include "midi/midi_tee.h"

#include <cstdio>

#include "support/user_texts.h"

namespace velune {

namespace {
constexpr std::uint32_t kOwnHandle = 1;
}  // namespace

MidiTee::MidiTee(MidiService* synth, std::vector<MidiSink*> sinks)
    : synth_(synth), sinks_(std::move(sinks)) {}

std::int32_t MidiTee::queryDefaultOutput() {
    return synth_ != nullptr ? synth_->queryDefaultOutput() : 0;
}

std::int32_t MidiTee::open(std::uint32_t& handle, std::int32_t deviceId) {
    std::uint32_t opened = kOwnHandle;
    const std::int32_t result = synth_ != nullptr ? synth_->open(opened, deviceId) : 0;
    if (result == 0) {
        handle = opened;
        handle_ = opened;
    }
    return result;
}

std::int32_t MidiTee::sendShortMessage(std::uint32_t handle, std::uint32_t message) {
    std::int32_t result = 0;
    if (synth_ != nullptr) {
        result = synth_->sendShortMessage(handle, message);
    } else if (handle == 0 || handle != handle_) {
        result = kNotOpen;
    }
    // The other programs hear what was played on the open port, whatever the built-in
    // synthesizer made of it (it may have lost its audio output for a moment).
    if (handle != 0 && handle == handle_) {
        for (MidiSink* sink : sinks_) {
            sink->send(message);
        }
    }
    return result;
}

std::int32_t MidiTee::close(std::uint32_t handle) {
    if (handle == handle_) {
        handle_ = 0;
        for (MidiSink* sink : sinks_) {
            sink->flush();
        }
    }
    return synth_ != nullptr ? synth_->close(handle) : 0;
}

void MidiTee::errorText(std::int32_t code, char* buffer, std::uint32_t size) {
    if (synth_ != nullptr) {
        synth_->errorText(code, buffer, size);
    } else if (size > 0) {
        std::snprintf(buffer, size, "%s", code == kNotOpen ? kPortNotOpenText : "");
    }
}

}  // namespace velune
