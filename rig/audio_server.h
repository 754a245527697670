#pragma once

// A private audio server whose only output is a null sink at the analysis rate: PulseAudio, or
// PipeWire with its session manager (WirePlumber, on a private session bus) and its PulseAudio
// front end (pipewire-pulse). Either way clients reach it through the PulseAudio protocol at
// the same address, and nothing else can reach it.

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

class AudioServer {
  public:
    // Starts the server; throws std::runtime_error when it does not answer.
    AudioServer(const std::filesystem::path& workDirectory, ServerKind kind);
    ~AudioServer();
    AudioServer(const AudioServer&) = delete;
    AudioServer& operator=(const AudioServer&) = delete;

    ServerKind kind() const { return kind_; }
    // "unix:<socket>", for PULSE_SERVER.
    const std::string& address() const { return address_; }
    std::string monitorSource() const;
    // The sink everything plays into, by node name.
    std::string sink() const;
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
    void startPipeWire(const ChildEnvironment& environment);
    void waitUntilServing();

    ServerKind kind_;
    std::filesystem::path workDirectory_;
    std::filesystem::path runtimeDirectory_;
    std::string address_;
    ChildProcess bus_;
    std::vector<ChildProcess> servers_;
};

}  // namespace velune::rig
