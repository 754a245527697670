#pragma once

// The rig: a private X display with a window manager, a private audio server with a recording
// of everything played, and programs started in them. Everything it starts it stops again by
// process id, also when a test fails.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "audio_server.h"
#include "child_process.h"
#include "recorder.h"
#include "x_session.h"

namespace velune::rig {

inline constexpr const char* kMainWindowTitle = "Velunev1.0";
inline constexpr const char* kBoxTitle = "Velune";

struct RigConfig {
    std::filesystem::path program;  // the built program
    ServerKind server = ServerKind::PulseAudio;
    SinkKind sink = SinkKind::Null;
};

class Rig {
  public:
    explicit Rig(RigConfig config);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    XSession& x() { return *x_; }
    AudioServer& audio() { return *audio_; }
    Recorder& recorder() { return *recorder_; }
    const RigConfig& config() const { return config_; }
    const std::filesystem::path& workDirectory() const { return workDirectory_; }

    // The environment a program runs in; without audio, no sound server or card is reachable.
    ChildEnvironment programEnvironment(bool withAudio = true) const;

    // The audio server crashes; the recording stops with it.
    void killAudioServer();
    // A new audio server on the same address, and a new recording of it (indices start again).
    void restartAudioServer();
    // The same, with the sink `sink` (nothing happens when it has that one already).
    void useSink(SinkKind sink);

  private:
    void startRecording();

    RigConfig config_;
    std::filesystem::path workDirectory_;
    std::unique_ptr<XSession> x_;
    std::unique_ptr<AudioServer> audio_;
    std::unique_ptr<Recorder> recorder_;
};

// One run of a program on the rig, its output kept in a log.
class Program {
  public:
    explicit Program(Rig& rig, bool withAudio = true);
    Program(Rig& rig, const std::filesystem::path& executable, const ChildEnvironment& environment);
    ~Program() { process_.stop(); }

    pid_t pid() const { return process_.pid(); }
    ChildProcess& process() { return process_; }
    // Waits for the window titled so to be shown and to hold the focus; nothing if it was not.
    std::optional<XWindow> waitForWindow(
        const std::string& title = kMainWindowTitle,
        std::chrono::milliseconds timeout = std::chrono::seconds(15));
    XWindow mainWindow() const { return mainWindow_; }
    // Everything the program wrote to its standard output and error so far.
    std::string log() const;
    // Waits up to `timeout` for the log to say `text`; false if it did not, or the program ended.
    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout);

  private:
    Rig& rig_;
    std::filesystem::path log_;
    ChildProcess process_;
    XWindow mainWindow_ = 0;
};

}  // namespace velune::rig
