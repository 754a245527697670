#pragma once

// FluidSynth with the General MIDI SoundFont and no audio output, rendered offline at the
// recording rate: known notes to check the ears against, reference timbres to compare with.

#include <fluidsynth.h>

#include <memory>
#include <vector>

#include "audio_analysis.h"

namespace velune::e2e {

class OfflineSynth {
  public:
    // Throws std::runtime_error when no General MIDI SoundFont loads.
    OfflineSynth();

    void program(int program) { fluid_synth_program_change(synth_.get(), 0, program); }
    void noteOn(int note) { fluid_synth_noteon(synth_.get(), 0, note, 100); }
    void noteOff(int note) { fluid_synth_noteoff(synth_.get(), 0, note); }
    // Appends `seconds` of sound (left and right mixed) to samples().
    void play(double seconds);
    // Renders `frames` that are never heard, as where the program renders its queue again: the
    // sound that follows continues from that much further on.
    void skip(int frames);
    const std::vector<float>& samples() const { return samples_; }

  private:
    std::unique_ptr<fluid_settings_t, decltype(&delete_fluid_settings)> settings_;
    std::unique_ptr<fluid_synth_t, decltype(&delete_fluid_synth)> synth_;
    std::vector<float> samples_;
};

// `seconds` of `note` on `program`, struck after 50 ms of silence.
std::vector<float> renderNote(int program, int note, double seconds);

// Of `programs`, the one whose middle C, rendered, sounds nearest `timbre` (taken from 150 ms
// after its onset, past the attack, for 300 ms).
int nearestProgram(const rig::Timbre& timbre, const std::vector<int>& programs);

}  // namespace velune::e2e
