#pragma once

// Programs that the rig starts (X server, window manager, audio server, the program under test,
// xdotool), each owned by its process id: stopped with SIGTERM, then SIGKILL, and reaped. A child
// also dies with the test process if that is killed outright (a test timeout).

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velune::rig {

using namespace std::chrono_literals;

// Where `program` is installed: the first directory of PATH that holds it as an executable.
std::optional<std::filesystem::path> installed(const std::string& program);

// The environment of a child: the test's own, with changes.
class ChildEnvironment {
  public:
    static ChildEnvironment inherited();

    ChildEnvironment& set(const std::string& name, const std::string& value);
    ChildEnvironment& unset(const std::string& name);
    std::vector<std::string> entries() const;

  private:
    std::map<std::string, std::string> variables_;
};

struct SpawnOptions {
    // Where the child's output goes; /dev/null when empty.
    std::filesystem::path log;
    // A descriptor of the parent to hand to the child as its descriptor 3.
    int passAsFd3 = -1;
};

class ChildProcess {
  public:
    ChildProcess() = default;
    // Starts argv[0] (searched in PATH); throws std::runtime_error when it cannot.
    ChildProcess(const std::vector<std::string>& argv, const ChildEnvironment& environment,
                 const SpawnOptions& options = {});
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& name() const { return name_; }
    bool running();
    // The exit status (128 + signal when killed by a signal) once the child has ended, waiting
    // up to `timeout`; nothing while it still runs.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // SIGTERM, up to `grace` to end, then SIGKILL. Returns the exit status.
    int stop(std::chrono::milliseconds grace = 3s);

  private:
    bool reap(bool block);

    pid_t pid_ = -1;
    std::string name_;
    std::optional<int> status_;
};

// Keeps `cores` processor cores busy, as other programs on a player's machine do: a shell in an
// endless loop each, at the normal priority, until it goes.
class BusyCores {
  public:
    explicit BusyCores(int cores);

  private:
    std::vector<ChildProcess> loops_;
};

// Holds every core for `duration` at the lowest real-time priority: no thread of normal priority
// anywhere runs meanwhile, as at the worst moment of a busy machine, while real-time ones do.
// False when real-time priority is not allowed here.
bool holdUpOrdinaryThreads(std::chrono::milliseconds duration);

struct CommandResult {
    int status = -1;  // -1: did not end in time (then killed)
    std::string output;
};

// Runs a short command to its end, capturing its standard output.
CommandResult runCommand(const std::vector<std::string>& argv, const ChildEnvironment& environment,
                         std::chrono::milliseconds timeout = 10s);

}  // namespace velune::rig
