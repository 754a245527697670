#include "audio/pulse_connection.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "support/diagnostics.h"

namespace velune {

std::unique_ptr<PulseConnection> PulseConnection::start(FailureHook failed, void* owner) {
    std::unique_ptr<PulseConnection> connection(new PulseConnection(failed, owner));
    connection->loop_ = pa_threaded_mainloop_new();
    if (connection->loop_ == nullptr) return nullptr;
    pa_threaded_mainloop_set_name(connection->loop_, "velune-audio");
    connection->context_ = pa_context_new(connection->api(), "Velune");
    if (connection->context_ == nullptr || pa_threaded_mainloop_start(connection->loop_) < 0) {
        return nullptr;
    }
    return connection;
}

PulseConnection::~PulseConnection() {
    if (loop_ == nullptr) return;
    if (context_ != nullptr) {
        pa_threaded_mainloop_lock(loop_);
        disconnect();
        pa_threaded_mainloop_unlock(loop_);
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
}

void PulseConnection::disconnect() {
    if (context_ == nullptr) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

bool PulseConnection::reach(Deadline deadline, bool quiet) {
    pa_context_set_state_callback(context_, onContextState, this);
    bool ready = pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
                 waitUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; },
                           [] { return false; }, deadline);
    if (ready) {
        // The server's name first: a sink of PipeWire's server is asked for differently.
        await(pa_context_get_server_info(context_, onServerInfo, this), deadline);
        // "@DEFAULT_SINK@" names whatever sink the server plays to by default.
        await(pa_context_get_sink_info_by_name(context_, "@DEFAULT_SINK@", onSinkInfo, this),
              deadline);
        ready = sink_.rate != 0;
    }
    if (ready && !quiet) {
        logMessage(
            LogArea::Audio, LogLevel::Info,
            std::string("the default sink plays at ") + std::to_string(sink_.rate) + " Hz, " +
                (sink_.network ? "over the network, " : "") +
                (sink_.dynamicLatency ? "at the latency asked for" : "at a latency of its own") +
                " (" + std::to_string(sink_.latency.count()) + " us now)");
    }
    return ready;
}

// Rings at the deadline, so that a wait on the loop ends there at the latest.
pa_time_event* PulseConnection::alarmAt(Deadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    return pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(std::max<long>(left.count(), 0)),
        onAlarm, this);
}

bool PulseConnection::waitUntil(const std::function<bool()>& ready,
                                const std::function<bool()>& failed, Deadline deadline) {
    pa_time_event* alarm = alarmAt(deadline);
    bool result = false;
    for (;;) {
        if (ready()) {
            result = true;
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) || failed() ||
            std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        pa_threaded_mainloop_wait(loop_);
    }
    if (alarm != nullptr) api()->time_free(alarm);
    return result;
}

void PulseConnection::await(pa_operation* operation, Deadline deadline) {
    if (operation == nullptr) return;
    pa_time_event* alarm = alarmAt(deadline);
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
           PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) &&
           std::chrono::steady_clock::now() < deadline) {
        pa_threaded_mainloop_wait(loop_);
    }
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    if (alarm != nullptr) api()->time_free(alarm);
}

SinkFacts PulseConnection::factsOf(const pa_sink_info& info, bool pipewire) {
    SinkFacts facts;
    facts.rate = info.sample_spec.rate;
    facts.dynamicLatency = (info.flags & PA_SINK_DYNAMIC_LATENCY) != 0;
    facts.network = (info.flags & PA_SINK_NETWORK) != 0;
    facts.latency = std::chrono::microseconds(std::max(info.latency, info.configured_latency));
    facts.pipewire = pipewire;
    return facts;
}

void PulseConnection::onAlarm(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseConnection*>(self)->loop_, 0);
}

void PulseConnection::onContextState(pa_context* context, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
        connection->failed_(connection->owner_, "the PulseAudio connection failed");
    pa_threaded_mainloop_signal(connection->loop_, 0);
}

void PulseConnection::onServerInfo(pa_context*, const pa_server_info* info, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    const char* name = info != nullptr ? info->server_name : nullptr;
    connection->sink_.pipewire = name != nullptr && std::strstr(name, "PipeWire") != nullptr;
    pa_threaded_mainloop_signal(connection->loop_, 0);
}

void PulseConnection::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* connection = static_cast<PulseConnection*>(self);
    if (eol == 0 && info != nullptr) connection->sink_ = factsOf(*info, connection->sink_.pipewire);
    pa_threaded_mainloop_signal(connection->loop_, 0);
}

}  // namespace velune
