#pragma once

// The stage the benchmark plays on: the end-to-end tests' private X display (Xvfb and openbox)
// and PulseAudio null sink, with the benchmark's own timed recorder of the sink's monitor and
// its own XTEST connection; and the programs measured on it.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio_session.h"
#include "child_process.h"
#include "timed_recorder.h"
#include "x_probe.h"
#include "x_session.h"

namespace velune::bench {

// A program to measure and how a player plays it.
struct Subject {
    std::string name;
    std::vector<std::string> command;
    std::vector<std::pair<std::string, std::string>> environment;  // on top of the stage's
    std::string windowTitle;
    std::vector<std::string> noteKeys;  // X keysym names, each a different note
    // The key that silences a note; without one, releasing the note's key does.
    std::optional<std::string> restKey;
    bool needsNumLock = false;
    // Where a click drops the instrument list down, in the window's client area; a negative x
    // counts from the right edge.
    int listX = 0;
    int listY = 0;
};

Subject veluneSubject(const std::string& name, const std::filesystem::path& program);
// The Debian package "vmpk" (a general-purpose virtual MIDI keyboard) as a reference; nothing
// when it is not installed.
std::optional<Subject> vmpkSubject();

class Stage {
public:
    Stage();
    ~Stage();
    Stage(const Stage&) = delete;
    Stage& operator=(const Stage&) = delete;

    e2e::XSession& x() { return *x_; }
    e2e::AudioServer& audio() { return *audio_; }
    TimedRecorder& recorder() { return *recorder_; }
    XProbe& probe() { return *probe_; }
    pid_t audioServerPid() const { return audioServerPid_; }
    e2e::ChildEnvironment environmentFor(const Subject& subject, int run) const;

    // Waits until the last `hold` of what has arrived is quiet.
    bool waitForQuiet(std::chrono::milliseconds hold, std::chrono::milliseconds timeout);

private:
    std::filesystem::path workDirectory_;
    std::unique_ptr<e2e::XSession> x_;
    std::unique_ptr<e2e::AudioServer> audio_;
    std::unique_ptr<TimedRecorder> recorder_;
    std::unique_ptr<XProbe> probe_;
    pid_t audioServerPid_ = 0;
};

// One run of a subject on the stage, from exec to stop.
class Session {
public:
    Session(Stage& stage, const Subject& subject);
    ~Session();

    pid_t pid() const { return process_.pid(); }
    bool running() { return process_.running(); }
    Clock::time_point started() const { return started_; }
    // Waits for the subject's window to become active; its window, and when it was mapped and
    // activated.
    bool waitUntilActive(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    XWindow window() const { return window_; }
    std::optional<Clock::time_point> mappedAt() const { return mappedAt_; }
    Clock::time_point activeAt() const { return activeAt_; }
    // Drops the instrument list down; true when it opened.
    bool openInstrumentList();
    void stop() { process_.stop(); }

private:
    Stage& stage_;
    const Subject& subject_;
    Clock::time_point started_;
    e2e::ChildProcess process_;
    XWindow window_ = 0;
    std::optional<Clock::time_point> mappedAt_;
    Clock::time_point activeAt_;
};

// Threshold of sound for onsets and quiet: -60 dBFS.
inline constexpr float kAudible = 1e-3f;

}  // namespace velune::bench
