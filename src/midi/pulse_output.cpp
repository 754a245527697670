#include "pulse_output.h"

#include <fluidsynth.h>
#include <pulse/error.h>
#include <pulse/simple.h>

namespace velune {

std::unique_ptr<PulseOutput> PulseOutput::open(fluid_synth_t* synth, const AudioFormat& format) {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.channels = 2;
    spec.rate = format.sampleRate;

    const std::uint32_t periodBytes = format.periodFrames * 2 * sizeof(float);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = periodBytes * format.periods;  // the whole latency we ask the server for
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = periodBytes;
    attr.fragsize = static_cast<std::uint32_t>(-1);

    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "Velune", PA_STREAM_PLAYBACK, nullptr, "Velune",
                                      &spec, nullptr, &attr, &error);
    if (stream == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<PulseOutput>(new PulseOutput(synth, stream, format.periodFrames));
}

PulseOutput::PulseOutput(fluid_synth_t* synth, pa_simple* stream, unsigned periodFrames)
    : synth_(synth), stream_(stream), buffer_(std::size_t{periodFrames} * 2) {
    thread_ = std::thread([this] { run(); });
}

PulseOutput::~PulseOutput() {
    running_.store(false, std::memory_order_release);
    if (thread_.joinable()) {
        thread_.join();
    }
    pa_simple_free(stream_);
}

void PulseOutput::run() {
    const int frames = static_cast<int>(buffer_.size() / 2);
    const std::size_t bytes = buffer_.size() * sizeof(float);
    while (running_.load(std::memory_order_acquire)) {
        fluid_synth_write_float(synth_, frames, buffer_.data(), 0, 2, buffer_.data(), 1, 2);
        int error = 0;
        if (pa_simple_write(stream_, buffer_.data(), bytes, &error) < 0) {
            lost_.store(true, std::memory_order_release);
            return;
        }
    }
}

}  // namespace velune
