#pragma once

// Plays a FluidSynth synthesizer through a PulseAudio playback stream (PipeWire serves the same
// protocol). One thread renders a period and writes it; a failed write means the server is gone,
// which lost() reports so the MIDI service can tell the user and reconnect later.

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

typedef struct _fluid_synth_t fluid_synth_t;
struct pa_simple;

namespace velune {

struct AudioFormat {
    unsigned sampleRate = 0;  // 0: the rate of the audio server's default output
    unsigned periodFrames = 256;
    unsigned periods = 2;
};

inline constexpr unsigned kFallbackSampleRate = 48000;

class PulseOutput {
public:
    // The sample rate of the server's default sink, so that nothing resamples; 0 when no
    // PulseAudio server can be reached.
    static unsigned defaultSinkRate();

    // nullptr when no PulseAudio server can be reached.
    static std::unique_ptr<PulseOutput> open(fluid_synth_t* synth, const AudioFormat& format);
    ~PulseOutput();
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    bool lost() const { return lost_.load(std::memory_order_acquire); }

private:
    PulseOutput(fluid_synth_t* synth, pa_simple* stream, unsigned periodFrames);
    void run();

    fluid_synth_t* synth_;
    pa_simple* stream_;
    std::vector<float> buffer_;
    std::atomic<bool> running_{true};
    std::atomic<bool> lost_{false};
    std::thread thread_;
};

}  // namespace velune
