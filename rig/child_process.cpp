#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;

std::string findInPath(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    if (const std::optional<std::filesystem::path> found = installed(program)) return *found;
    throw std::runtime_error("not installed: " + program);
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Forks and executes; in the child only async-signal-safe calls run.
pid_t spawn(const std::string& path, std::vector<std::string> argv, std::vector<std::string> env,
            int stdoutFd, int stderrFd, int fd3) {
    std::vector<char*> args = pointers(argv);
    std::vector<char*> vars = pointers(env);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        // A group of its own, so that what it forks ends with it.
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(stdoutFd >= 0 ? stdoutFd : null, 1);
        ::dup2(stderrFd >= 0 ? stderrFd : null, 2);
        if (fd3 == 3) {
            ::fcntl(3, F_SETFD, 0);
        } else if (fd3 >= 0) {
            ::dup2(fd3, 3);
        }
        for (int fd = fd3 >= 0 ? 4 : 3; fd < 1024; ++fd) ::close(fd);
        // A child of ours must not inherit the test's blocked signals.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(path.c_str(), args.data(), vars.data());
        ::_exit(127);
    }
    return pid;
}

int statusOf(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

}  // namespace

std::optional<std::filesystem::path> installed(const std::string& program) {
    const char* path = std::getenv("PATH");
    const std::string directories = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        const std::size_t end = std::min(directories.find(':', start), directories.size());
        const std::filesystem::path candidate =
            std::filesystem::path(directories.substr(start, end - start)) / program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

ChildEnvironment ChildEnvironment::inherited() {
    ChildEnvironment environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::size_t equals = text.find('=');
        if (equals != std::string::npos)
            environment.variables_[text.substr(0, equals)] = text.substr(equals + 1);
    }
    return environment;
}

ChildEnvironment& ChildEnvironment::set(const std::string& name, const std::string& value) {
    variables_[name] = value;
    return *this;
}

ChildEnvironment& ChildEnvironment::unset(const std::string& name) {
    variables_.erase(name);
    return *this;
}

std::vector<std::string> ChildEnvironment::entries() const {
    std::vector<std::string> result;
    for (const auto& [name, value] : variables_) result.push_back(name + "=" + value);
    return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const ChildEnvironment& environment, const SpawnOptions& options)
    : name_(argv.at(0)) {
    int log = -1;
    if (!options.log.empty()) {
        log = ::open(options.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    try {
        pid_ =
            spawn(findInPath(argv.at(0)), argv, environment.entries(), log, log, options.passAsFd3);
    } catch (...) {
        if (log >= 0) ::close(log);
        throw;
    }
    if (log >= 0) ::close(log);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) stop();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), name_(std::move(other.name_)), status_(other.status_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (pid_ > 0) stop();
        pid_ = std::exchange(other.pid_, -1);
        name_ = std::move(other.name_);
        status_ = other.status_;
    }
    return *this;
}

bool ChildProcess::reap(bool block) {
    if (status_) return true;
    if (pid_ <= 0) return false;
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    if (done == pid_) {
        status_ = statusOf(raw);
        return true;
    }
    return false;
}

bool ChildProcess::running() { return pid_ > 0 && !reap(false); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reap(false)) {
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
    return status_;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return -1;
    if (!reap(false)) {
        ::kill(pid_, SIGTERM);
        if (!wait(grace)) {
            ::kill(pid_, SIGKILL);
            reap(true);
        }
    }
    // Whatever it forked and left behind (a child hung in its fork, a helper it started).
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
    return status_.value_or(-1);
}

CommandResult runCommand(const std::vector<std::string>& argv, const ChildEnvironment& environment,
                         std::chrono::milliseconds timeout) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t pid = -1;
    try {
        pid = spawn(findInPath(argv.at(0)), argv, environment.entries(), out[1], -1, -1);
    } catch (...) {
        ::close(out[0]);
        ::close(out[1]);
        throw;
    }
    ::close(out[1]);
    CommandResult result;
    const auto deadline = Clock::now() + timeout;
    bool timedOut = false;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd poller{out[0], POLLIN, 0};
        if (::poll(&poller, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    result.status = timedOut ? -1 : statusOf(raw);
    return result;
}

BusyCores::BusyCores(int cores) {
    for (int i = 0; i < cores; ++i) {
        loops_.emplace_back(std::vector<std::string>{"sh", "-c", "while :; do :; done"},
                            ChildEnvironment::inherited());
    }
}

bool holdUpOrdinaryThreads(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    std::atomic<bool> refused{false};
    std::vector<std::thread> holds;
    for (unsigned core = 0; core < std::max(1u, std::thread::hardware_concurrency()); ++core) {
        holds.emplace_back([&] {
            sched_param lowest{};
            lowest.sched_priority = sched_get_priority_min(SCHED_FIFO);
            if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &lowest) != 0) {
                refused = true;
                return;
            }
            while (std::chrono::steady_clock::now() < until) {
            }
        });
    }
    for (std::thread& hold : holds) hold.join();
    return !refused;
}

}  // namespace velune::rig
