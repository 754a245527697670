#pragma once

// The default MIDI output: FluidSynth with a General MIDI SoundFont, embedded in the process and
// played through PulseAudio (or ALSA). The device query does the real work once (find and check
// the SoundFont, reach the audio server) and keeps it for the open that follows; every failure
// writes its cause to the log.

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio_output.h"
#include "synth/midi_service.h"
#include "synth/sound_font.h"

namespace velune {

class Synthesizer;

struct SynthConfig {
    std::vector<std::string> soundFonts;  // tried in order; the first that exists is used
    bool audio = true;                    // false: no audio output, render() only
    AudioFormat format;
    // Picks the SoundFont among soundFonts.
    std::function<std::string(const std::vector<std::string>&)> find = findSoundFont;
};

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
    // reached), then the synthesizer, which only the first message waits for. A failure there,
    // an exception included, ends as a result code with its cause logged.
    void prepareInBackground();

    std::int32_t queryDefaultOutput() override;
    std::int32_t open(std::uint32_t& handle, std::int32_t deviceId) override;
    std::int32_t sendShortMessage(std::uint32_t handle, std::uint32_t message) override;
    std::int32_t close(std::uint32_t handle) override;
    void errorText(std::int32_t code, char* buffer, std::uint32_t size) override;

    // Renders the synthesizer's next frames (only when there is no audio output).
    void render(float* left, float* right, int frames);

  private:
    std::int32_t prepare();
    std::int32_t prepareDevice();
    std::int32_t prepareSynth();
    std::int32_t awaitDevice();
    std::int32_t awaitPrepared();
    std::int32_t restoreAudio();

    SynthConfig config_;
    std::string soundFont_;
    std::unique_ptr<Synthesizer> synth_;
    AudioOutput audio_{config_.format};  // after synth_: it stops before the synthesizer goes
    std::shared_future<std::int32_t> device_;
    std::future<std::int32_t> preparing_;
    std::int32_t loadResult_ = kOk;
    std::uint32_t handle_ = 0;
    std::uint32_t nextHandle_ = 1;
};

}  // namespace velune
