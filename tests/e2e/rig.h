#pragma once

// The end-to-end rig: a private X display with a window manager, a private audio server that
// records everything played, and the real program started in them. Everything it starts it
// stops again by process id, also when a test fails.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "audio_session.h"
#include "child_process.h"
#include "x_session.h"

namespace velune::e2e {

inline constexpr const char* kMainWindowTitle = "Velunev1.0";
inline constexpr const char* kBoxTitle = "Velune";

struct RigConfig {
    std::filesystem::path program;    // the built program
    std::filesystem::path artifacts;  // screenshots for people to look at
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

    // The environment the program runs in; without audio, no sound server or card is reachable.
    ChildEnvironment programEnvironment(bool withAudio) const;

    // The audio server crashes; the recording stops with it.
    void killAudioServer();
    // A new audio server on the same address, and a new recording of it (indices start again).
    void restartAudioServer();

private:
    RigConfig config_;
    std::filesystem::path workDirectory_;
    std::unique_ptr<XSession> x_;
    std::unique_ptr<AudioServer> audio_;
    std::unique_ptr<Recorder> recorder_;
};

// One run of the program.
class Program {
public:
    Program(Rig& rig, bool withAudio = true);
    // Another build of the program, or changes to its environment.
    Program(Rig& rig, const std::filesystem::path& executable, const ChildEnvironment& environment);
    ~Program();

    pid_t pid() const { return process_.pid(); }
    ChildProcess& process() { return process_; }
    // Waits for the main window to be shown and to hold the focus; nothing if it was not.
    std::optional<XWindow> waitForMainWindow(std::chrono::milliseconds timeout = 15s);
    XWindow mainWindow() const { return mainWindow_; }
    // Everything the program wrote to its standard output and error.
    std::string log() const;

private:
    Rig& rig_;
    std::filesystem::path log_;
    ChildProcess process_;
    XWindow mainWindow_ = 0;
};

}  // namespace velune::e2e
