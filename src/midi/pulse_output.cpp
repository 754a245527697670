#include "pulse_output.h"

#include <fluidsynth.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/simple.h>

#include <pthread.h>
#include <sched.h>

#include <string>

namespace velune {
namespace {

struct RateQuery {
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    unsigned rate = 0;
    bool done = false;
};

void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
    auto* query = static_cast<RateQuery*>(data);
    if (eol == 0 && info != nullptr) {
        query->rate = info->sample_spec.rate;
    } else {
        query->done = true;
    }
}

void onServerInfo(pa_context* context, const pa_server_info* info, void* data) {
    auto* query = static_cast<RateQuery*>(data);
    if (info == nullptr || info->default_sink_name == nullptr) {
        query->rate = info != nullptr ? info->sample_spec.rate : 0;
        query->done = true;
        return;
    }
    query->rate = info->sample_spec.rate;
    pa_operation_unref(
        pa_context_get_sink_info_by_name(context, info->default_sink_name, onSinkInfo, query));
}

void onContextState(pa_context* context, void* data) {
    auto* query = static_cast<RateQuery*>(data);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            pa_operation_unref(pa_context_get_server_info(context, onServerInfo, query));
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            query->done = true;
            break;
        default:
            break;
    }
}

// The render thread runs at real-time priority where the system allows it; elsewhere it keeps
// the normal priority.
void raisePriority() {
    sched_param param{};
    param.sched_priority = 20;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

}  // namespace

unsigned PulseOutput::defaultSinkRate() {
    RateQuery query;
    query.loop = pa_mainloop_new();
    query.context = pa_context_new(pa_mainloop_get_api(query.loop), "Velune");
    pa_context_set_state_callback(query.context, onContextState, &query);
    if (pa_context_connect(query.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (!query.done && pa_mainloop_iterate(query.loop, 1, nullptr) >= 0) {
        }
    } else {
        query.rate = 0;
    }
    pa_context_disconnect(query.context);
    pa_context_unref(query.context);
    pa_mainloop_free(query.loop);
    return query.rate;
}

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
    raisePriority();
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
