#include "fluidsynth_service.h"

#include <fluidsynth.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace velune {
namespace {

constexpr std::uint8_t kStatusMask = 0xF0;
constexpr std::uint8_t kChannelMask = 0x0F;
constexpr std::uint8_t kDataMax = 0x7F;

struct SettingsDeleter {
    void operator()(fluid_settings_t* s) const { delete_fluid_settings(s); }
};
struct SynthDeleter {
    void operator()(fluid_synth_t* s) const { delete_fluid_synth(s); }
};
struct DriverDeleter {
    void operator()(fluid_audio_driver_t* d) const { delete_fluid_audio_driver(d); }
};

bool isRegularFile(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

}  // namespace

struct FluidSynthService::Engine {
    std::unique_ptr<fluid_settings_t, SettingsDeleter> settings;
    std::unique_ptr<fluid_synth_t, SynthDeleter> synth;
    std::unique_ptr<PulseOutput> pulse;
    std::unique_ptr<fluid_audio_driver_t, DriverDeleter> alsa;

    bool audioLost() const { return pulse && pulse->lost(); }
    bool hasAudio() const { return pulse || alsa; }
};

std::vector<std::string> defaultSoundFonts() {
    if (const char* chosen = std::getenv("VELUNE_SOUNDFONT"); chosen != nullptr && *chosen) {
        return {chosen};
    }
    return {
        "/usr/share/sounds/sf2/default-GM.sf2",    // Debian, Ubuntu
        "/usr/share/sounds/sf2/FluidR3_GM.sf2",    // Debian, Ubuntu
        "/usr/share/soundfonts/default.sf2",       // Arch, Fedora
        "/usr/share/soundfonts/FluidR3_GM.sf2",    // Arch, Fedora
        "/usr/share/soundfonts/FluidR3_GM2-2.sf2", // Fedora
        "/usr/share/sounds/sf2/TimGM6mb.sf2",      // Debian, small
        "/usr/share/sounds/sf2/GeneralUser-GS.sf2",
    };
}

FluidSynthService::FluidSynthService(SynthConfig config) : config_(std::move(config)) {}

FluidSynthService::~FluidSynthService() {
    if (preparing_.valid()) {
        preparing_.wait();
    }
}

void FluidSynthService::prepareInBackground() {
    if (!engine_ && !preparing_.valid()) {
        preparing_ = std::async(std::launch::async, [this] { return prepare(); });
    }
}

std::int32_t FluidSynthService::awaitPrepared() {
    if (preparing_.valid()) {
        if (const std::int32_t result = preparing_.get(); result != kOk) {
            return result;
        }
    }
    return prepare();
}

const char* FluidSynthService::resultText(std::int32_t code) {
    switch (code) {
        case kOk: return "操作成功。";
        case kNoSoundFont: return "找不到通用 MIDI 音色库（SoundFont 文件）。";
        case kBadSoundFont: return "音色库文件已损坏，或者不是 SoundFont 文件。";
        case kNoAudioOutput: return "无法打开音频输出（PulseAudio 或 ALSA）。";
        case kNotOpen: return "MIDI 输出端口没有打开。";
        case kSynthFailed: return "无法创建软件合成器。";
        case kMessageRejected: return "合成器无法处理这条 MIDI 消息。";
        case kAudioLost: return "音频输出已断开，请检查音频服务或耳机。";
        case kBadDevice: return "没有这个 MIDI 输出设备。";
        default: return "未知的 MIDI 错误。";
    }
}

void FluidSynthService::errorText(std::int32_t code, char* buffer, std::uint32_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    const char* text = resultText(code);
    std::size_t length = std::strlen(text);
    if (length >= size) {
        // Cut at a character boundary, never inside a UTF-8 sequence.
        length = size - 1;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
}

std::int32_t FluidSynthService::prepare() {
    if (engine_) {
        return kOk;
    }
    std::string soundFont;
    for (const auto& candidate : config_.soundFonts) {
        if (isRegularFile(candidate)) {
            soundFont = candidate;
            break;
        }
    }
    if (soundFont.empty()) {
        return kNoSoundFont;
    }
    if (!fluid_is_soundfont(soundFont.c_str())) {
        return kBadSoundFont;
    }

    auto engine = std::make_unique<Engine>();
    engine->settings.reset(new_fluid_settings());
    if (!engine->settings) {
        return kSynthFailed;
    }
    fluid_settings_t* settings = engine->settings.get();
    if (config_.format.sampleRate == 0) {
        // Render at the audio server's own rate; an ALSA-only system gets the common rate.
        const unsigned serverRate = config_.audio ? PulseOutput::defaultSinkRate() : 0;
        config_.format.sampleRate = serverRate != 0 ? serverRate : kFallbackSampleRate;
    }
    fluid_settings_setnum(settings, "synth.sample-rate", config_.format.sampleRate);
    // Samples load on demand: start-up reads the preset table only, not 140 MB of audio.
    fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
    fluid_settings_setint(settings, "synth.cpu-cores", 1);
    engine->synth.reset(new_fluid_synth(settings));
    if (!engine->synth) {
        return kSynthFailed;
    }
    if (fluid_synth_sfload(engine->synth.get(), soundFont.c_str(), 1) == FLUID_FAILED) {
        return kBadSoundFont;
    }
    engine_ = std::move(engine);
    if (config_.audio) {
        if (const std::int32_t result = startAudio(); result != kOk) {
            engine_.reset();
            return result;
        }
    }
    return kOk;
}

std::int32_t FluidSynthService::startAudio() {
    engine_->pulse.reset();
    engine_->alsa.reset();
    engine_->pulse = PulseOutput::open(engine_->synth.get(), config_.format);
    if (engine_->pulse) {
        return kOk;
    }
    fluid_settings_t* settings = engine_->settings.get();
    fluid_settings_setstr(settings, "audio.driver", "alsa");
    fluid_settings_setint(settings, "audio.period-size", static_cast<int>(config_.format.periodFrames));
    fluid_settings_setint(settings, "audio.periods", static_cast<int>(config_.format.periods));
    engine_->alsa.reset(new_fluid_audio_driver(settings, engine_->synth.get()));
    return engine_->alsa ? kOk : kNoAudioOutput;
}

std::int32_t FluidSynthService::queryDefaultOutput() { return awaitPrepared(); }

std::int32_t FluidSynthService::open(std::uint32_t& handle, std::int32_t deviceId) {
    if (deviceId != -1 && deviceId != 0) {
        return kBadDevice;
    }
    if (const std::int32_t result = awaitPrepared(); result != kOk) {
        return result;
    }
    handle_ = nextHandle_++;
    if (nextHandle_ == 0) {
        nextHandle_ = 1;
    }
    handle = handle_;
    return kOk;
}

std::int32_t FluidSynthService::close(std::uint32_t handle) {
    if (handle == 0 || handle != handle_) {
        return kNotOpen;
    }
    handle_ = 0;
    engine_.reset();  // joins the audio thread and frees the synthesizer
    return kOk;
}

std::int32_t FluidSynthService::sendShortMessage(std::uint32_t handle, std::uint32_t message) {
    if (handle == 0 || handle != handle_ || !engine_) {
        return kNotOpen;
    }
    if (engine_->audioLost() || (config_.audio && !engine_->hasAudio())) {
        // The audio server went away; try it again now, so that playing resumes without a
        // restart once it is back.
        if (startAudio() != kOk) {
            // The synthesizer still takes the message, so that a note off ends its note and an
            // instrument change holds when the output is back.
            dispatch(message);
            return kAudioLost;
        }
        // What sounded when the output went away does not sound again with the new one.
        fluid_synth_all_sounds_off(engine_->synth.get(), -1);
    }
    return dispatch(message);
}

std::int32_t FluidSynthService::dispatch(std::uint32_t message) {
    const std::uint8_t status = message & 0xFF;
    const std::uint8_t data1 = (message >> 8) & 0xFF;
    const std::uint8_t data2 = (message >> 16) & 0xFF;
    if (status < 0x80 || status >= 0xF0) {
        return kOk;  // running status and system messages have no meaning here
    }
    if (data1 > kDataMax || data2 > kDataMax) {
        return kMessageRejected;
    }
    fluid_synth_t* synth = engine_->synth.get();
    const int channel = status & kChannelMask;
    int result = FLUID_OK;
    switch (status & kStatusMask) {
        case 0x80:
            // A note off for a note that is not sounding is no error for a MIDI port.
            fluid_synth_noteoff(synth, channel, data1);
            break;
        case 0x90:
            result = data2 == 0 ? (fluid_synth_noteoff(synth, channel, data1), FLUID_OK)
                                : fluid_synth_noteon(synth, channel, data1, data2);
            break;
        case 0xA0: result = fluid_synth_key_pressure(synth, channel, data1, data2); break;
        case 0xB0: result = fluid_synth_cc(synth, channel, data1, data2); break;
        case 0xC0: result = fluid_synth_program_change(synth, channel, data1); break;
        case 0xD0: result = fluid_synth_channel_pressure(synth, channel, data1); break;
        case 0xE0: result = fluid_synth_pitch_bend(synth, channel, data1 | (data2 << 7)); break;
    }
    return result == FLUID_OK ? kOk : kMessageRejected;
}

void FluidSynthService::render(float* left, float* right, int frames) {
    if (engine_ && !engine_->hasAudio()) {
        fluid_synth_write_float(engine_->synth.get(), frames, left, 0, 1, right, 0, 1);
    }
}

}  // namespace velune
