#include "fluidsynth_service.h"

#include <fluidsynth.h>

#include <bitset>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

namespace velune {
namespace {

constexpr std::uint8_t kStatusMask = 0xF0;
constexpr std::uint8_t kChannelMask = 0x0F;
constexpr std::uint8_t kDataMax = 0x7F;
constexpr std::uint8_t kProgramChange = 0xC0;
constexpr int kChannels = 16;
// The channel the keyboard plays on.
constexpr int kKeyboardChannel = 0;
// One voice is played at a time, but the notes before it ring on in their release; a stereo
// sample takes two voices. FluidSynth's default of 256 costs start-up time and memory for nothing.
constexpr int kPolyphony = 64;

struct SettingsDeleter {
    void operator()(fluid_settings_t* s) const { delete_fluid_settings(s); }
};
struct SynthDeleter {
    void operator()(fluid_synth_t* s) const { delete_fluid_synth(s); }
};
struct DriverDeleter {
    void operator()(fluid_audio_driver_t* d) const { delete_fluid_audio_driver(d); }
};

// The synthesizer's settings for live playing; the audio buffer is in AudioFormat.
void configureForLivePlaying(fluid_settings_t* settings, unsigned sampleRate) {
    fluid_settings_setnum(settings, "synth.sample-rate", sampleRate);
    // Samples load on demand: start-up reads the preset table only, not 140 MB of audio.
    fluid_settings_setint(settings, "synth.dynamic-sample-loading", 1);
    // Everything is rendered in the audio thread, no helper threads.
    fluid_settings_setint(settings, "synth.cpu-cores", 1);
    fluid_settings_setint(settings, "synth.polyphony", kPolyphony);
    // Reverb and chorus stay on: they add to the sound and do not delay a note's onset.
}

// VELUNE_AUDIO_BUFFER="<frames>x<periods>" replaces the buffer, for a machine where the
// default drops out (or to measure another one).
void useBufferFromEnvironment(AudioFormat& format) {
    pinBuffer(std::getenv("VELUNE_AUDIO_BUFFER"), format);
}

std::uint32_t littleEndian32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Whether the file holds the whole of a SoundFont: its RIFF size is the file's, and its three
// parts (information, samples, presets) follow each other to the end. Cheap (a few reads), and
// it tells a cut or mislabelled file before the synthesizer spends its time loading it.
bool isWholeSoundFont(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    unsigned char header[12];
    if (error || !in.read(reinterpret_cast<char*>(header), sizeof header) ||
        std::uintmax_t{littleEndian32(header + 4)} + 8 != size) {
        return false;
    }
    std::string parts;
    for (std::uintmax_t at = sizeof header; at < size;) {
        unsigned char chunk[12];
        if (!in.seekg(static_cast<std::streamoff>(at)) || !in.read(reinterpret_cast<char*>(chunk), sizeof chunk) ||
            std::memcmp(chunk, "LIST", 4) != 0) {
            return false;
        }
        parts.append(reinterpret_cast<const char*>(chunk + 8), 4);
        const std::uintmax_t length = littleEndian32(chunk + 4);
        if (at + 8 + length > size) {
            return false;
        }
        at += 8 + length + (length & 1);  // an odd chunk is followed by a pad byte
    }
    return parts == "INFOsdtapdta";
}

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

    std::bitset<kChannels> preparedChannels;

    bool audioLost() const { return pulse && pulse->lost(); }
    bool hasAudio() const { return pulse || alsa; }
    // Gives a channel, once, the preset that a General MIDI reset would (the piano; the drum
    // kit on channel 10).
    void prepareChannel(int channel) {
        if (!preparedChannels.test(channel)) {
            preparedChannels.set(channel);
            fluid_synth_program_change(synth.get(), channel, 0);
        }
    }
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
    if (engine_ || preparing_.valid()) {
        return;
    }
    auto device = std::make_shared<std::promise<std::int32_t>>();
    device_ = device->get_future().share();
    preparing_ = std::async(std::launch::async, [this, device] {
        const std::int32_t found = prepareDevice();
        device->set_value(found);
        return found == kOk ? prepareSynth() : found;
    });
}

std::int32_t FluidSynthService::awaitDevice() {
    if (device_.valid()) {
        return device_.get();
    }
    return prepare();
}

std::int32_t FluidSynthService::awaitPrepared() {
    if (preparing_.valid()) {
        loadResult_ = preparing_.get();
    }
    // A synthesizer that failed to load in the background is not tried again at every key.
    if (loadResult_ != kOk) {
        return loadResult_;
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
    if (const std::int32_t found = prepareDevice(); found != kOk) {
        return found;
    }
    return prepareSynth();
}

// What decides whether there is a device at all, and is quick: a SoundFont that is whole, and
// an audio server to play to. The window waits for this only, not for the synthesizer.
std::int32_t FluidSynthService::prepareDevice() {
    soundFont_.clear();
    for (const auto& candidate : config_.soundFonts) {
        if (isRegularFile(candidate)) {
            soundFont_ = candidate;
            break;
        }
    }
    if (soundFont_.empty()) {
        return kNoSoundFont;
    }
    if (!fluid_is_soundfont(soundFont_.c_str()) || !isWholeSoundFont(soundFont_)) {
        return kBadSoundFont;
    }
    if (!config_.audio) {
        return kOk;
    }
    useBufferFromEnvironment(config_.format);
    connection_ = PulseOutput::connect();
    // Without PulseAudio only ALSA is left, which needs the synthesizer to be opened.
    return connection_ ? kOk : prepareSynth();
}

std::int32_t FluidSynthService::prepareSynth() {
    if (engine_) {
        return kOk;
    }
    if (config_.format.sampleRate == 0) {
        // Render at the audio server's own rate; an ALSA-only system gets the common rate.
        const unsigned serverRate = connection_ ? connection_->sinkRate() : 0;
        config_.format.sampleRate = serverRate != 0 ? serverRate : kFallbackSampleRate;
    }
    auto engine = std::make_unique<Engine>();
    engine->settings.reset(new_fluid_settings());
    if (!engine->settings) {
        return kSynthFailed;
    }
    configureForLivePlaying(engine->settings.get(), config_.format.sampleRate);
    engine->synth.reset(new_fluid_synth(engine->settings.get()));
    if (!engine->synth) {
        return kSynthFailed;
    }
    // No preset is chosen on load: each channel gets its own when it is first used (the drum kit
    // of channel 10 alone is 11 MB of samples). The keyboard's channel gets its piano now, so
    // that the first note does not wait for it.
    if (fluid_synth_sfload(engine->synth.get(), soundFont_.c_str(), 0) == FLUID_FAILED) {
        return kBadSoundFont;
    }
    engine->prepareChannel(kKeyboardChannel);
    engine_ = std::move(engine);
    if (config_.audio) {
        if (const std::int32_t result = startAudio(std::move(connection_)); result != kOk) {
            engine_.reset();
            return result;
        }
    }
    return kOk;
}

std::int32_t FluidSynthService::startAudio(std::unique_ptr<PulseOutput> connection) {
    engine_->pulse.reset();
    engine_->alsa.reset();
    if (connection && connection->start(engine_->synth.get(), config_.format)) {
        engine_->pulse = std::move(connection);
        return kOk;
    }
    engine_->pulse = PulseOutput::open(engine_->synth.get(), config_.format);
    if (engine_->pulse) {
        return kOk;
    }
    fluid_settings_t* settings = engine_->settings.get();
    fluid_settings_setstr(settings, "audio.driver", "alsa");
    // ALSA's buffer cannot adapt: unless one is chosen, it gets the one that stays clean.
    const unsigned period =
        config_.format.pinned ? config_.format.periodFrames : kSteadyPeriodFrames;
    fluid_settings_setint(settings, "audio.period-size", static_cast<int>(period));
    fluid_settings_setint(settings, "audio.periods", static_cast<int>(config_.format.periods));
    engine_->alsa.reset(new_fluid_audio_driver(settings, engine_->synth.get()));
    return engine_->alsa ? kOk : kNoAudioOutput;
}

std::int32_t FluidSynthService::queryDefaultOutput() { return awaitDevice(); }

std::int32_t FluidSynthService::open(std::uint32_t& handle, std::int32_t deviceId) {
    if (deviceId != -1 && deviceId != 0) {
        return kBadDevice;
    }
    if (const std::int32_t result = awaitDevice(); result != kOk) {
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
    if (preparing_.valid()) {
        preparing_.wait();  // the synthesizer may still be loading
    }
    engine_.reset();  // joins the audio thread and frees the synthesizer
    return kOk;
}

std::int32_t FluidSynthService::sendShortMessage(std::uint32_t handle, std::uint32_t message) {
    if (handle == 0 || handle != handle_) {
        return kNotOpen;
    }
    // The first notes may come while the synthesizer is still loading: they wait for it.
    if (const std::int32_t loaded = awaitPrepared(); loaded != kOk) {
        return loaded;
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
    if (engine_->pulse) {
        engine_->pulse->wake();
    }
    if ((status & kStatusMask) == kProgramChange) {
        engine_->preparedChannels.set(channel);
    } else {
        engine_->prepareChannel(channel);
    }
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
    if (awaitPrepared() == kOk && engine_ && !engine_->hasAudio()) {
        fluid_synth_write_float(engine_->synth.get(), frames, left, 0, 1, right, 0, 1);
    }
}

}  // namespace velune
