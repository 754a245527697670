#include "audio_output.h"

#include <fluidsynth.h>

#include <cstdlib>
#include <string>

#include "diagnostics.h"
#include "synthesizer.h"

namespace velune {
// VELUNE_AUDIO_BUFFER="<frames>x<periods>" pins the buffer, for a machine where the adaptive
// one drops out (or to measure another one); without it the buffer adapts.
AudioFormat audioFormatFromEnvironment() {
    AudioFormat format;
    pinBuffer(std::getenv("VELUNE_AUDIO_BUFFER"), format);
    return format;
}

void AudioOutput::AlsaDeleter::operator()(fluid_audio_driver_t* driver) const {
    delete_fluid_audio_driver(driver);
}

AudioOutput::AudioOutput() = default;
AudioOutput::~AudioOutput() { stop(); }

bool AudioOutput::reachServer() {
    connection_ = PulseOutput::connect();
    if (!connection_) {
        logMessage(LogArea::Audio, LogLevel::Info, "no PulseAudio server reached; trying ALSA");
    }
    return connection_ != nullptr;
}

unsigned AudioOutput::sampleRate() const {
    const unsigned serverRate = connection_ ? connection_->sinkRate() : 0;
    return serverRate != 0 ? serverRate : kFallbackSampleRate;
}

bool AudioOutput::start(Synthesizer& synth, const AudioFormat& format) {
    stop();
    if (connection_ && connection_->start(synth.synth(), format)) {
        pulse_ = std::move(connection_);
    } else {
        connection_.reset();
        pulse_ = PulseOutput::open(synth.synth(), format);
    }
    if (!pulse_) {
        fluid_settings_t* settings = synth.settings();
        fluid_settings_setstr(settings, "audio.driver", "alsa");
        // ALSA's buffer cannot adapt: unless one is chosen, it gets the one that stays clean.
        const unsigned period = format.pinned ? format.periodFrames : kSteadyPeriodFrames;
        fluid_settings_setint(settings, "audio.period-size", static_cast<int>(period));
        fluid_settings_setint(settings, "audio.periods", static_cast<int>(format.periods));
        alsa_.reset(new_fluid_audio_driver(settings, synth.synth()));
    }
    if (pulse_ || alsa_) {
        lossLogged_ = false;
        return true;
    }
    if (!lossLogged_) {
        logMessage(LogArea::Audio, LogLevel::Warning,
                   "no audio output: no PulseAudio server took the stream and ALSA has no device");
        lossLogged_ = true;
    }
    return false;
}

bool AudioOutput::playing() const {
    if (pulse_ && pulse_->lost()) {
        return false;
    }
    return pulse_ || alsa_;
}

void AudioOutput::wake() {
    if (pulse_) pulse_->wake();
}

void AudioOutput::noteStarted() {
    if (pulse_) pulse_->noteStarted();
}

void AudioOutput::stop() {
    pulse_.reset();
    alsa_.reset();
}

}  // namespace velune
