#include "audio/audio_output.h"

#include <cstdlib>
#include <cstring>

#include "audio/alsa_backend.h"
#include "audio/pipewire_backend.h"
#include "audio/pulse_backend.h"
#include "audio_core/render_source.h"
#include "audio_core/stream_driver.h"
#include "support/diagnostics.h"

namespace velune {

std::vector<BackendKind> backendOrder(bool serverReached, bool serverIsPipeWire,
                                      bool nativePipeWire) {
    std::vector<BackendKind> order;
    if (nativePipeWire && (serverIsPipeWire || !serverReached))
        order.push_back(BackendKind::PipeWire);
    if (serverReached) order.push_back(BackendKind::PulseAudio);
    order.push_back(BackendKind::Alsa);
    return order;
}

AudioOutput::AudioOutput(AudioFormat format) : format_(format) {}

AudioOutput::~AudioOutput() {
    stop();
    if (probe_.valid()) probe_.wait();
}

bool AudioOutput::reachServer() {
    server_ = PulseBackend::connect(kServerTimeout);
    if (!server_)
        logMessage(LogArea::Audio, LogLevel::Info, "no sound server reached; trying ALSA");
    serverRate_ = server_ ? server_->sink().rate : 0;
    return server_ != nullptr;
}

unsigned AudioOutput::sampleRate() const {
    return serverRate_ != 0 ? serverRate_ : kFallbackSampleRate;
}

bool AudioOutput::start(RenderSource& source) {
    stop();
    if (!server_) reachServer();
    const unsigned rate = format_.sampleRate != 0 ? format_.sampleRate : sampleRate();
    source.setRate(rate);
    const char* native = std::getenv("VELUNE_PIPEWIRE");
    const bool nativePipeWire = native == nullptr || std::strcmp(native, "0") != 0;
    for (BackendKind kind :
         backendOrder(server_ != nullptr, server_ && server_->sink().pipewire, nativePipeWire)) {
        if (tryBackend(kind, source, rate)) {
            kind_ = kind;
            server_.reset();  // a PipeWire stream lets the PulseAudio connection go
            lossLogged_ = false;
            nextProbe_ = std::chrono::steady_clock::now() + kProbeInterval;
            return true;
        }
    }
    server_.reset();
    if (!lossLogged_) {
        logMessage(LogArea::Audio, LogLevel::Warning,
                   "no audio output: no sound server took the stream and ALSA has no device");
        lossLogged_ = true;
    }
    return false;
}

bool AudioOutput::tryBackend(BackendKind kind, RenderSource& source, unsigned rate) {
    const auto now = std::chrono::steady_clock::now();
    BufferSetting start = format_.buffer();
    if (!format_.pinned && kind == BackendKind::PulseAudio) {
        start = startingBuffer(server_->sink(), start);
    } else if (!format_.pinned && kind == BackendKind::Alsa) {
        // ALSA's buffer cannot adapt: unless one is chosen, it gets the one that stays clean.
        start.periodFrames = kSteadyPeriodFrames;
    }
    const auto steps =
        kind == BackendKind::PipeWire ? BufferPolicy::Steps::Doubling : BufferPolicy::Steps::Fine;
    driver_ = std::make_unique<StreamDriver>(
        source, rate, BufferPolicy(start, format_.pinned || kind == BackendKind::Alsa, now, steps),
        relay_, format_.restAfter);
    switch (kind) {
        case BackendKind::PipeWire:
            backend_ = PipeWireBackend::open(*driver_);
            break;
        case BackendKind::PulseAudio:
            if (server_->start(*driver_, kServerTimeout)) backend_ = std::move(server_);
            break;
        case BackendKind::Alsa:
            backend_ = AlsaBackend::open(*driver_);
            break;
    }
    if (!backend_) driver_.reset();
    return backend_ != nullptr;
}

bool AudioOutput::playing() {
    if (!backend_ || backend_->lost() || backend_->wantsRestart()) return false;
    return kind_ != BackendKind::Alsa || !serverCameBack();
}

// While ALSA plays, a server is looked for now and then, on a thread of its own; once one
// answers, it is kept for start().
bool AudioOutput::serverCameBack() {
    if (server_) return true;
    if (probe_.valid()) {
        if (probe_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return false;
        server_ = probe_.get();
        if (server_) {
            serverRate_ = server_->sink().rate;
            logMessage(LogArea::Audio, LogLevel::Info, "the sound server is back");
            return true;
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextProbe_) {
        nextProbe_ = now + kProbeInterval;
        probe_ = std::async(std::launch::async,
                            [] { return PulseBackend::connect(kServerTimeout, true); });
    }
    return false;
}

AudioOutput::Delivery AudioOutput::message(std::uint32_t message) {
    if (!driver_ || !backend_) return Delivery::NoOutput;
    switch (driver_->post(message)) {
        case StreamDriver::Posted::Kick:
            backend_->kick();
            return Delivery::Queued;
        case StreamDriver::Posted::Queued:
            return Delivery::Queued;
        case StreamDriver::Posted::Full:
            break;
    }
    return Delivery::Full;
}

void AudioOutput::stop() {
    backend_.reset();
    if (driver_) driver_->takeLeftovers();
    driver_.reset();
}

}  // namespace velune
