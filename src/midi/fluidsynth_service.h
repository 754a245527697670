#pragma once

// The default MIDI output: FluidSynth with a General MIDI SoundFont, embedded in the process and
// played through PulseAudio (or ALSA). The device query does the real work once (find and load
// the SoundFont, open the audio output) and keeps it for the open that follows.

#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "midi_service.h"
#include "pulse_output.h"

typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;
typedef struct _fluid_audio_driver_t fluid_audio_driver_t;

namespace velune {

struct SynthConfig {
    std::vector<std::string> soundFonts;  // tried in order; the first that exists is used
    bool audio = true;                    // false: no audio output, render() only
    AudioFormat format;
};

// $VELUNE_SOUNDFONT when set (then only that file), else the usual places of Linux distributions.
std::vector<std::string> defaultSoundFonts();

class FluidSynthService : public MidiService {
public:
    enum Result : std::int32_t {
        kOk = 0,
        kNoSoundFont = 1,
        kBadSoundFont = 2,
        kNoAudioOutput = 3,
        kNotOpen = 4,
        kSynthFailed = 5,
        kMessageRejected = 6,
        kAudioLost = 7,
        kBadDevice = 8,
    };

    explicit FluidSynthService(SynthConfig config);
    ~FluidSynthService() override;
    FluidSynthService(const FluidSynthService&) = delete;
    FluidSynthService& operator=(const FluidSynthService&) = delete;

    // Starts preparing on another thread, so that it overlaps with building the window: first
    // what the device query and the open wait for (the SoundFont checked, the audio server
    // reached), then the synthesizer, which only the first message waits for.
    void prepareInBackground();

    std::int32_t queryDefaultOutput() override;
    std::int32_t open(std::uint32_t& handle, std::int32_t deviceId) override;
    std::int32_t sendShortMessage(std::uint32_t handle, std::uint32_t message) override;
    std::int32_t close(std::uint32_t handle) override;
    void errorText(std::int32_t code, char* buffer, std::uint32_t size) override;

    // The UTF-8 text of a result code, as errorText() gives it.
    static const char* resultText(std::int32_t code);

    // Renders the synthesizer's next frames (only when there is no audio output).
    void render(float* left, float* right, int frames);

private:
    struct Engine;
    std::int32_t prepare();
    std::int32_t prepareDevice();
    std::int32_t prepareSynth();
    std::int32_t awaitDevice();
    std::int32_t awaitPrepared();
    // Plays through `connection` when it is given and takes the stream, else through a new
    // PulseAudio connection, else through ALSA.
    std::int32_t startAudio(std::unique_ptr<PulseOutput> connection = nullptr);
    std::int32_t dispatch(std::uint32_t message);

    SynthConfig config_;
    std::unique_ptr<Engine> engine_;
    std::string soundFont_;
    std::unique_ptr<PulseOutput> connection_;  // reached by prepareDevice(), for the synthesizer
    std::shared_future<std::int32_t> device_;
    std::future<std::int32_t> preparing_;
    std::int32_t loadResult_ = kOk;
    std::uint32_t handle_ = 0;
    std::uint32_t nextHandle_ = 1;
};

}  // namespace velune
