#pragma once

// Where the synthesizer's sound goes: our own PulseAudio stream (PipeWire serves it too), else
// FluidSynth's ALSA driver; and a new output when the server went away and may be back.

#include <memory>

#include "pulse_output.h"

typedef struct _fluid_audio_driver_t fluid_audio_driver_t;

namespace velune {

class Synthesizer;

// The buffer in force: VELUNE_AUDIO_BUFFER="<frames>x<periods>" replaces the default, for a
// machine where it drops out (or to measure another). A value that is not one is logged and
// the default kept. Read once, before other threads run.
AudioFormat audioFormatFromEnvironment();

class AudioOutput {
  public:
    AudioOutput();
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // Reaches the PulseAudio server now, which is quick, and keeps the connection for start().
    // false: there is none (logged), and only ALSA is left.
    bool reachServer();
    // The rate to render at: the server's own, else the common one.
    unsigned sampleRate() const;
    // Plays `synth` through the server reached before, else a new PulseAudio connection, else
    // ALSA. false: no output at all (logged).
    bool start(Synthesizer& synth, const AudioFormat& format);
    // Playing, and the output has not gone away.
    bool playing() const;
    // A message is about to reach the synthesizer.
    void wake();
    // A note has started in the synthesizer: it sounds at once, not after the queued sound.
    void noteStarted();
    // Stops the audio thread; the synthesizer may be freed afterwards.
    void stop();

  private:
    struct AlsaDeleter {
        void operator()(fluid_audio_driver_t* driver) const;
    };
    std::unique_ptr<PulseOutput> connection_;  // reached, not yet playing
    std::unique_ptr<PulseOutput> pulse_;
    std::unique_ptr<fluid_audio_driver_t, AlsaDeleter> alsa_;
    bool lossLogged_ = false;
};

}  // namespace velune
