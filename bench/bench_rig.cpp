#include "bench_rig.h"

#include <stdlib.h>
#include <unistd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "audio_analysis.h"

namespace velune::bench {
namespace {

std::filesystem::path makeWorkDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velune-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    return pattern;
}

// The audio server listening on `address` ("unix:<socket>"): the process whose command line
// names that socket.
pid_t findAudioServer(const std::string& address) {
    const std::string socket = address.substr(address.find(':') + 1);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(entry.path() / "cmdline");
        std::ostringstream text;
        text << in.rdbuf();
        const std::string command = text.str();
        if (command.rfind("pulseaudio", 0) == 0 && command.find(socket) != std::string::npos) {
            return static_cast<pid_t>(std::stoi(name));
        }
    }
    return 0;
}

std::optional<std::filesystem::path> onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::filesystem::path candidate = std::filesystem::path(rest.substr(0, colon)) / program;
        if (!candidate.parent_path().empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    return std::nullopt;
}

}  // namespace

Subject veluneSubject(const std::string& name, const std::filesystem::path& program) {
    Subject subject;
    subject.name = name;
    subject.command = {program.string()};
    subject.windowTitle = "Velunev1.0";
    subject.noteKeys = {"m",    "comma", "period", "j",    "k",    "l",    "u",
                        "KP_1", "KP_2",  "KP_3",   "KP_4", "KP_5", "KP_6", "KP_7"};
    subject.restKey = "space";
    subject.needsNumLock = true;
    // The arrow of Combo1 (at 128, 24, 185 x 20 in the client area).
    subject.listX = 128 + 185 - 8;
    subject.listY = 24 + 10;
    return subject;
}

std::optional<Subject> vmpkSubject() {
    const std::optional<std::filesystem::path> path = onPath("vmpk");
    if (!path) return std::nullopt;
    Subject subject;
    subject.name = "vmpk";
    subject.command = {path->string()};
    subject.windowTitle = "Virtual MIDI Piano Keyboard";
    // Its default key map: the white keys of two octaves.
    subject.noteKeys = {"z", "x", "c", "v", "b", "n", "m", "q", "w", "e", "r", "t", "y", "u"};
    // The program selector at the right end of its tool bar.
    subject.listX = -20;
    subject.listY = 41;
    return subject;
}

Stage::Stage() : workDirectory_(makeWorkDirectory()) {
    try {
        std::ofstream(workDirectory_ / "alsa.conf") << "# no devices\n";
        std::filesystem::create_directories(workDirectory_ / "runtime");
        ::chmod((workDirectory_ / "runtime").c_str(), 0700);
        x_ = std::make_unique<e2e::XSession>(workDirectory_);
        audio_ = std::make_unique<e2e::AudioServer>(workDirectory_);
        audioServerPid_ = findAudioServer(audio_->address());
        recorder_ = std::make_unique<TimedRecorder>(audio_->address(), audio_->monitorSource(),
                                                    e2e::kSampleRate);
        probe_ = std::make_unique<XProbe>(x_->display());
        if (!recorder_->waitUntilSettled(std::chrono::seconds(15))) {
            throw std::runtime_error("the monitor's timing does not settle");
        }
    } catch (...) {
        probe_.reset();
        recorder_.reset();
        audio_.reset();
        x_.reset();
        std::filesystem::remove_all(workDirectory_);
        throw;
    }
}

Stage::~Stage() {
    probe_.reset();
    recorder_.reset();
    audio_.reset();
    x_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(workDirectory_, ignored);
}

e2e::ChildEnvironment Stage::environmentFor(const Subject& subject, int run) const {
    e2e::ChildEnvironment environment = x_->clientEnvironment();
    audio_->configure(environment);
    const std::filesystem::path runDirectory = workDirectory_ / ("run-" + std::to_string(run));
    std::filesystem::create_directories(runDirectory / "config");
    environment.set("ALSA_CONFIG_PATH", (workDirectory_ / "alsa.conf").string())
        .set("XDG_RUNTIME_DIR", (workDirectory_ / "runtime").string())
        .set("XDG_CONFIG_HOME", (runDirectory / "config").string())
        .set("QT_QPA_PLATFORM", "xcb")
        .set("LC_ALL", "C.UTF-8");
    for (const char* setting : {"QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "QT_SCALE_FACTOR",
                                "QT_SCREEN_SCALE_FACTORS", "QT_AUTO_SCREEN_SCALE_FACTOR",
                                "QT_ENABLE_HIGHDPI_SCALING", "QT_FONT_DPI", "VELUNE_SOUNDFONT"}) {
        environment.unset(setting);
    }
    for (const auto& [name, value] : subject.environment) environment.set(name, value);
    return environment;
}

bool Stage::waitForQuiet(std::chrono::milliseconds hold, std::chrono::milliseconds timeout) {
    const auto holdSamples = static_cast<std::size_t>(hold.count()) * recorder_->rate() / 1000;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const std::size_t end = recorder_->size();
        if (end >= holdSamples) {
            const std::vector<float> last = recorder_->slice(end - holdSamples, end);
            if (std::all_of(last.begin(), last.end(), [](float s) { return std::abs(s) < kAudible; })) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

Session::Session(Stage& stage, const Subject& subject) : stage_(stage), subject_(subject) {
    static int runs = 0;
    const int run = ++runs;
    const e2e::ChildEnvironment environment = stage.environmentFor(subject, run);
    started_ = Clock::now();
    process_ = e2e::ChildProcess(subject.command, environment);
}

Session::~Session() { process_.stop(); }

bool Session::waitUntilActive(std::chrono::milliseconds timeout) {
    const std::optional<Activation> active = stage_.probe().waitForActive(pid(), timeout);
    if (!active || stage_.x().title(active->window) != subject_.windowTitle) return false;
    window_ = active->window;
    activeAt_ = active->at;
    mappedAt_ = stage_.probe().mappedAt(window_);
    return true;
}

bool Session::openInstrumentList() {
    const e2e::ScreenRect client = stage_.x().clientRect(window_);
    const int x = subject_.listX >= 0 ? subject_.listX : client.width + subject_.listX;
    stage_.probe().click(client.x + x, client.y + subject_.listY);
    return stage_.probe().waitForPopup(true, std::chrono::seconds(3));
}

}  // namespace velune::bench
