#pragma once

// A private audio server whose output is a null sink at the analysis rate: PulseAudio, or
// PipeWire with its session manager (WirePlumber, on a private session bus) and its PulseAudio
// front end (pipewire-pulse). Either way clients reach it through the PulseAudio protocol at
// the same address, and nothing else can reach it.
//
// On PulseAudio the sink can also behave like the devices players have (SinkKind): a tunnel to a
// second server, which cannot rewind, as Bluetooth and network sinks cannot; a card's rate; a
// sink that suspends when idle; two sinks to switch between while playing. The server can also
// hang for a while (SIGSTOP) and go on again.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"

namespace velune::rig {

enum class ServerKind { PulseAudio, PipeWire };

// The floors pipewire-pulse puts under what PulseAudio clients ask for: Debian's own, written
// out in the private configuration so that nothing else can change them.
inline constexpr const char* kPulseMinReq = "256/48000";
inline constexpr const char* kPulseMinQuantum = "256/48000";

// VELUNE_E2E_SERVER=pulse (the default) or pipewire; throws std::invalid_argument for others.
ServerKind serverFromEnvironment();
const char* nameOf(ServerKind kind);

enum class SinkKind {
    Null,           // a null sink at the analysis rate, which rewinds whatever is asked
    Tunnel,         // module-tunnel-sink-new into a second server's null sink: no rewinds
    Card44k,        // a null sink at 44.1 kHz
    Card48k,        // a null sink at 48 kHz
    SuspendOnIdle,  // the null sink, suspended after 1 s without a stream playing
    TwoSinks,       // the null sink and a second one, to switch to while playing
};
inline constexpr SinkKind kAllSinks[] = {SinkKind::Null,          SinkKind::Tunnel,
                                         SinkKind::Card44k,       SinkKind::Card48k,
                                         SinkKind::SuspendOnIdle, SinkKind::TwoSinks};
// The short names: null, tunnel, 44k, 48k, suspend, switch.
const char* nameOf(SinkKind kind);
// Throws std::invalid_argument for a name that is none of them.
SinkKind sinkNamed(const std::string& name);
// VELUNE_E2E_SINK, null when unset.
SinkKind sinkFromEnvironment();
// How long an idle sink stays awake with SinkKind::SuspendOnIdle.
inline constexpr int kSuspendAfterSeconds = 1;

class AudioServer {
  public:
    // Starts the server; throws std::runtime_error when it does not answer, and
    // std::invalid_argument for a sink other than the null one on PipeWire.
    AudioServer(const std::filesystem::path& workDirectory, ServerKind kind,
                SinkKind sink = SinkKind::Null);
    ~AudioServer();
    AudioServer(const AudioServer&) = delete;
    AudioServer& operator=(const AudioServer&) = delete;

    ServerKind kind() const { return kind_; }
    SinkKind sinkKind() const { return sink_; }
    // "unix:<socket>", for PULSE_SERVER.
    const std::string& address() const { return address_; }
    // Where what the listener hears can be recorded: the server at `recordingAddress()` (for a
    // tunnel the second server), the monitors of its sinks that can sound, the first the one
    // the program starts on.
    const std::string& recordingAddress() const { return recordingAddress_; }
    std::vector<std::string> monitorSources() const;
    std::string monitorSource() const { return monitorSources().front(); }
    // The default sink, which a new stream plays into, by node name.
    std::string sink() const;
    // With SinkKind::TwoSinks, as when headphones are plugged in: every stream playing moves to
    // the other sink and it becomes the default. False when pactl refused.
    bool switchSink();
    // Loads module-suspend-on-idle (SinkKind::SuspendOnIdle); false when pactl refused.
    bool suspendWhenIdle();
    // Whether the default sink is suspended now, as the server says.
    bool sinkSuspended() const;
    // The server's processes stop (SIGSTOP) until resume() (SIGCONT): a server that hangs.
    void hang();
    void resume();
    // PipeWire's socket, when the server is PipeWire.
    std::filesystem::path pipewireSocket() const { return runtimeDirectory_ / "pipewire-0"; }
    // The variables that send a client's sound here and nowhere else, and that let PipeWire's
    // own tools (pw-dump, pw-metadata) reach it.
    void configure(ChildEnvironment& environment) const;
    // The processes that do the server's work (not its session bus).
    std::vector<pid_t> pids() const;

    // The server dies at once, as in a crash: its clients' connections break.
    void kill();
    // A new server on the same address; throws std::runtime_error when it does not answer.
    void restart();
    bool running();

  private:
    void start();
    void startPulseAudio(const ChildEnvironment& environment);
    void startFarServer(const ChildEnvironment& environment);
    void startPipeWire(const ChildEnvironment& environment);
    void waitUntilServing();
    bool pactl(const std::vector<std::string>& arguments) const;

    ServerKind kind_;
    SinkKind sink_;
    bool switched_ = false;
    std::filesystem::path workDirectory_;
    std::filesystem::path runtimeDirectory_;
    std::string address_;
    std::string recordingAddress_;
    ChildProcess bus_;
    std::vector<ChildProcess> servers_;
    ChildProcess farServer_;  // at the other end of a tunnel
};

}  // namespace velune::rig
