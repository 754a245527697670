#pragma once

// The program's own synthesizer (FluidSynth with the General MIDI SoundFont) without an audio
// output, rendered offline at the analysis rate: known notes to check the ears against, and
// reference timbres to compare a recording with.

#include <cstdint>
#include <vector>

#include "fluidsynth_service.h"

namespace velune::e2e {

class OfflineSynth {
public:
    OfflineSynth();

    // False when no SoundFont could be loaded.
    bool ready() const { return ready_; }

    void program(int program);
    void noteOn(int note, int velocity = 100);
    void noteOff(int note);
    // Appends `seconds` of sound (left and right mixed) to samples().
    void play(double seconds);

    const std::vector<float>& samples() const { return samples_; }
    std::size_t position() const { return samples_.size(); }

private:
    void send(std::uint32_t message);

    FluidSynthService service_;
    std::uint32_t handle_ = 0;
    bool ready_ = false;
    std::vector<float> samples_;
};

// `seconds` of `note` on `program`, struck after silence.
std::vector<float> renderNote(int program, int note, double seconds);

}  // namespace velune::e2e
