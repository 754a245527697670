#pragma once

// The FluidSynth synthesizer of the program: its settings for live playing, the SoundFont
// loaded, and the MIDI short messages it is played with. FluidSynth's own log goes to the
// program's log (area Synth) from the first synthesizer on.

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>

#include "audio_core/render_source.h"

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;

namespace velune {

class Synthesizer : public RenderSource {
  public:
    // nullptr when FluidSynth cannot make one (logged).
    static std::unique_ptr<Synthesizer> create(unsigned sampleRate);

    // Loads the SoundFont without choosing any preset, then gives `channel` its preset now so
    // that its first note does not wait for the samples. false when FluidSynth refuses the file.
    bool load(const std::string& soundFont, int channel);

    // Checks one packed short message (status, data1 << 8, data2 << 16) on the thread that sends
    // it: false when its data bytes are out of range. A channel gets the preset of a General
    // MIDI reset when it is first used; running status and system messages are no error and do
    // nothing.
    bool accept(std::uint32_t message);
    // Plays a message accept() took, on the thread that renders (or, without an audio output,
    // the sender's).
    void play(std::uint32_t message) override;
    void silenceAll();
    // The next frames, for a synthesizer without an audio output.
    void render(float* left, float* right, int frames);
    // The next frames, interleaved, for the audio output (its real-time thread).
    void render(float* data, std::size_t frames) override;
    void setRate(unsigned rate) override;

    fluid_synth_t* synth() const { return synth_.get(); }

  private:
    struct Deleter {
        void operator()(fluid_settings_t* settings) const;
        void operator()(fluid_synth_t* synth) const;
    };
    Synthesizer() = default;
    void prepareChannel(int channel);
    void apply(int status, int channel, int data1, int data2);

    // In this order, the synthesizer goes before its settings.
    std::unique_ptr<fluid_settings_t, Deleter> settings_;
    std::unique_ptr<fluid_synth_t, Deleter> synth_;
    std::bitset<16> preparedChannels_;
    unsigned rate_ = 0;
};

}  // namespace velune
