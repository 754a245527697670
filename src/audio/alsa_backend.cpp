#include "audio/alsa_backend.h"

#include <alsa/asoundlib.h>

#include <string>

#include "audio_core/audio_format.h"
#include "audio_core/stream_driver.h"
#include "support/diagnostics.h"

namespace velune {

std::unique_ptr<AlsaBackend> AlsaBackend::open(StreamDriver& driver, const std::string& device) {
    std::unique_ptr<AlsaBackend> backend(new AlsaBackend(driver));
    const BufferSetting setting = driver.setting();
    const unsigned latencyUs = static_cast<unsigned>(
        1000000ull * setting.periodFrames * setting.periods / driver.rate());
    int error = snd_pcm_open(&backend->pcm_, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    if (error == 0) {
        error = snd_pcm_set_params(backend->pcm_, SND_PCM_FORMAT_FLOAT, SND_PCM_ACCESS_RW_INTERLEAVED,
                                   kChannels, driver.rate(), 1, latencyUs);
    }
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t period = 0;
    if (error == 0) error = snd_pcm_get_params(backend->pcm_, &buffer, &period);
    if (error < 0) {
        logMessage(LogArea::Audio, LogLevel::Info,
                   "no ALSA device " + device + ": " + snd_strerror(error));
        return nullptr;
    }
    backend->periodFrames_ = static_cast<unsigned>(period);
    backend->period_.resize(std::size_t{backend->periodFrames_} * kChannels);
    driver.logBuffer("playing through ALSA",
                     {backend->periodFrames_, static_cast<unsigned>(buffer / period)});
    backend->thread_ = std::thread([b = backend.get()] { b->run(); });
    return backend;
}

AlsaBackend::~AlsaBackend() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    if (pcm_ != nullptr) {
        snd_pcm_drop(pcm_);
        snd_pcm_close(pcm_);
    }
}

void AlsaBackend::run() {
    driver_.enterRealtime();
    while (!stopping_.load()) {
        driver_.render(period_.data(), periodFrames_);
        snd_pcm_sframes_t written = snd_pcm_writei(pcm_, period_.data(), periodFrames_);
        if (written == -EPIPE) {
            driver_.underflow(!driver_.quietForBuffer());
        }
        if (written < 0) written = snd_pcm_recover(pcm_, static_cast<int>(written), 1);
        if (written < 0) {
            driver_.log(LogLevel::Warning, "lost the ALSA device", snd_strerror(static_cast<int>(written)));
            lost_.store(true, std::memory_order_release);
            return;
        }
    }
}

}  // namespace velune
