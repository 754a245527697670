#pragma once

// The connection a PulseBackend plays through: PulseAudio's client library in a threaded main
// loop of its own (PipeWire's PulseAudio server too), and what the server says of its name and
// of its default sink. Every wait for the server has a time limit: a server that hangs is no
// server. When the connection fails, its owner hears of it (the loop locked) and says why.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>

#include "audio/pulse_request.h"

namespace velune {

class PulseConnection {
  public:
    using Deadline = std::chrono::steady_clock::time_point;
    // Told, the loop locked, that the connection failed: what went wrong.
    using FailureHook = void (*)(void* owner, const char* what);

    // Starts the loop with a context, not yet connected; nullptr when the library cannot.
    static std::unique_ptr<PulseConnection> start(FailureHook failed, void* owner);
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Connects, then asks the server's name and its default sink, all before `deadline` (the
    // loop locked). false: no server answered, or it named no sink. Says what the sink is like
    // unless `quiet`.
    bool reach(Deadline deadline, bool quiet);
    // What the server said of its default sink.
    const SinkFacts& defaultSink() const { return sink_; }
    // Waits (the loop locked) until `ready`, until the connection has failed or `failed` says
    // so, or until the deadline.
    bool waitUntil(const std::function<bool()>& ready, const std::function<bool()>& failed,
                   Deadline deadline);
    // Waits (the loop locked) until `operation` has run, or until the deadline.
    void await(pa_operation* operation, Deadline deadline);
    // Leaves the server (the loop locked); the loop stops when the connection goes.
    void disconnect();

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
    pa_context* context() const { return context_; }

    // What a sink's introspection says of it; `pipewire`: PipeWire's server serves it.
    static SinkFacts factsOf(const pa_sink_info& info, bool pipewire);

  private:
    PulseConnection(FailureHook failed, void* owner) : failed_(failed), owner_(owner) {}
    pa_time_event* alarmAt(Deadline deadline);

    static void onContextState(pa_context* context, void* self);
    static void onServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onAlarm(pa_mainloop_api* api, pa_time_event* event, const struct timeval* tv,
                        void* self);

    FailureHook failed_;
    void* owner_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    SinkFacts sink_;
};

}  // namespace velune
