#include "synth/fluidsynth_service.h"

#include <cstring>
#include <exception>

#include "support/diagnostics.h"
#include "support/user_texts.h"
#include "synth/synthesizer.h"

namespace velune {
namespace {

// Runs a step of the loader thread; an exception there becomes kSynthFailed with its cause
// logged, never std::terminate.
template <typename Step>
std::int32_t loggingFailure(Step step) {
    try {
        return step();
    } catch (const std::exception& error) {
        logMessage(LogArea::Synth, LogLevel::Warning,
                   std::string("loading the synthesizer failed: ") + error.what());
    } catch (...) {
        logMessage(LogArea::Synth, LogLevel::Warning, "loading the synthesizer failed");
    }
    return FluidSynthService::kSynthFailed;
}

}  // namespace

FluidSynthService::FluidSynthService(SynthConfig config) : config_(std::move(config)) {}

FluidSynthService::~FluidSynthService() {
    if (preparing_.valid()) {
        preparing_.wait();
    }
}

void FluidSynthService::prepareInBackground() {
    if (synth_ || preparing_.valid()) {
        return;
    }
    auto device = std::make_shared<std::promise<std::int32_t>>();
    auto load = [this, device] {
        bool told = false;
        const std::int32_t result = loggingFailure([&] {
            const std::int32_t found = prepareDevice();
            device->set_value(found);
            told = true;
            return found == kOk ? prepareSynth() : found;
        });
        if (!told) device->set_value(result);
        return result;
    };
    try {
        preparing_ = std::async(std::launch::async, load);
        device_ = device->get_future().share();
    } catch (const std::system_error& error) {
        // No thread to be had: the device query prepares everything itself.
        logMessage(LogArea::Synth, LogLevel::Info,
                   std::string("loading in the foreground: ") + error.what());
    }
}

std::int32_t FluidSynthService::awaitDevice() {
    if (device_.valid()) {
        return device_.get();
    }
    return loggingFailure([this] { return prepare(); });
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

void FluidSynthService::errorText(std::int32_t code, char* buffer, std::uint32_t size) {
    if (buffer == nullptr || size == 0) {
        return;
    }
    const bool known = code >= 0 && code < static_cast<std::int32_t>(kResultTexts.size());
    const char* text = known ? kResultTexts[code] : kUnknownResultText;
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
    if (synth_) {
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
    soundFont_ = config_.find(config_.soundFonts);
    if (soundFont_.empty()) {
        return kNoSoundFont;
    }
    if (const std::string problem = soundFontProblem(soundFont_); !problem.empty()) {
        logMessage(LogArea::SoundFont, LogLevel::Warning, soundFont_ + ": " + problem);
        return kBadSoundFont;
    }
    if (!config_.audio) {
        return kOk;
    }
    // Without PulseAudio only ALSA is left, which needs the synthesizer to be opened.
    return audio_.reachServer() ? kOk : prepareSynth();
}

std::int32_t FluidSynthService::prepareSynth() {
    if (synth_) {
        return kOk;
    }
    if (config_.format.sampleRate == 0) {
        // Render at the audio server's own rate; an ALSA-only system gets the common rate.
        config_.format.sampleRate = audio_.sampleRate();
    }
    std::unique_ptr<Synthesizer> synth = Synthesizer::create(config_.format.sampleRate);
    if (!synth) {
        return kSynthFailed;
    }
    if (!synth->load(soundFont_, kKeyboardChannel)) {
        return kBadSoundFont;
    }
    if (config_.audio && !audio_.start(*synth)) {
        return kNoAudioOutput;
    }
    synth_ = std::move(synth);
    return kOk;
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
    audio_.stop();  // joins the audio thread, then the synthesizer can go
    synth_.reset();
    return kOk;
}

// The audio server went away: try it again now, so that playing resumes without a restart
// once it is back. What sounded when it went away does not sound again with the new output.
// It is silenced between the two outputs, while no audio thread renders.
std::int32_t FluidSynthService::restoreAudio() {
    audio_.stop();
    synth_->silenceAll();
    return audio_.start(*synth_) ? kOk : kAudioLost;
}

std::int32_t FluidSynthService::sendShortMessage(std::uint32_t handle, std::uint32_t message) {
    if (handle == 0 || handle != handle_) {
        return kNotOpen;
    }
    // The first notes may come while the synthesizer is still loading: they wait for it.
    if (const std::int32_t loaded = awaitPrepared(); loaded != kOk) {
        return loaded;
    }
    const std::int32_t audio = config_.audio && !audio_.playing() ? restoreAudio() : kOk;
    if (!synth_->accept(message)) {
        return kMessageRejected;
    }
    // The audio thread plays it just before it renders, at once where a note starts or ends.
    // Without an output the synthesizer takes it here, so that a note off ends its note and an
    // instrument change holds when the output is back.
    const AudioOutput::Delivery delivery =
        config_.audio ? audio_.message(message) : AudioOutput::Delivery::NoOutput;
    if (delivery == AudioOutput::Delivery::NoOutput) {
        synth_->play(message);
    }
    if (audio != kOk) {
        return audio;
    }
    // A queue that filled means the audio thread has not rendered for a long while (a hung
    // server): to the player the output is gone, and the note did not sound.
    return delivery == AudioOutput::Delivery::Full ? kAudioLost : kOk;
}

void FluidSynthService::render(float* left, float* right, int frames) {
    if (awaitPrepared() == kOk && synth_ && !config_.audio) {
        synth_->render(left, right, frames);
    }
}

}  // namespace velune
