#include "rig.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velune::rig {
namespace {

using namespace std::chrono_literals;

std::filesystem::path makeWorkDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velune-rig-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    return pattern;
}

}  // namespace

Rig::Rig(RigConfig config) : config_(std::move(config)), workDirectory_(makeWorkDirectory()) {
    try {
        // No other sound goes anywhere: ALSA sees a configuration without any device.
        std::ofstream(workDirectory_ / "alsa.conf") << "# no devices\n";
        std::filesystem::create_directories(workDirectory_ / "runtime");
        ::chmod((workDirectory_ / "runtime").c_str(), 0700);
        x_ = std::make_unique<XSession>(workDirectory_);
        audio_ = std::make_unique<AudioServer>(workDirectory_, config_.server, config_.sink);
        startRecording();
        if (!x_->autoRepeatOn()) throw std::runtime_error("the X server has no key auto-repeat");
    } catch (...) {
        recorder_.reset();
        audio_.reset();
        x_.reset();
        std::filesystem::remove_all(workDirectory_);
        throw;
    }
}

Rig::~Rig() {
    recorder_.reset();
    audio_.reset();
    x_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(workDirectory_, ignored);
}

ChildEnvironment Rig::programEnvironment(bool withAudio) const {
    ChildEnvironment environment = x_->clientEnvironment();
    audio_->configure(environment);
    if (!withAudio) {
        environment.set("PULSE_SERVER", "unix:" + (workDirectory_ / "no-server").string())
            .set("PIPEWIRE_RUNTIME_DIR", (workDirectory_ / "no-server").string());
    }
    environment.set("ALSA_CONFIG_PATH", (workDirectory_ / "alsa.conf").string())
        .set("XDG_RUNTIME_DIR", (workDirectory_ / "runtime").string())
        .set("QT_QPA_PLATFORM", "xcb")
        .set("LC_ALL", "C.UTF-8");
    for (const char* setting :
         {"QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
          "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_ENABLE_HIGHDPI_SCALING", "QT_FONT_DPI",
          "VELUNE_SOUNDFONT", "VELUNE_AUDIO_BUFFER"}) {
        environment.unset(setting);
    }
    return environment;
}

void Rig::killAudioServer() { audio_->kill(); }

void Rig::restartAudioServer() {
    recorder_.reset();
    audio_->restart();
    startRecording();
}

void Rig::useSink(SinkKind sink) {
    if (audio_ && config_.sink == sink) return;
    recorder_.reset();
    audio_.reset();
    config_.sink = sink;
    audio_ = std::make_unique<AudioServer>(workDirectory_, config_.server, sink);
    startRecording();
}

// An idle sink suspends only once the recording has its clock: a suspended sink sends nothing
// to set it by.
void Rig::startRecording() {
    recorder_ = std::make_unique<Recorder>(*audio_);
    if (config_.sink == SinkKind::SuspendOnIdle && !audio_->suspendWhenIdle()) {
        throw std::runtime_error("module-suspend-on-idle did not load");
    }
}

Program::Program(Rig& rig, bool withAudio)
    : Program(rig, rig.config().program, rig.programEnvironment(withAudio)) {}

Program::Program(Rig& rig, const std::filesystem::path& executable,
                 const ChildEnvironment& environment)
    : rig_(rig) {
    static std::atomic<int> runs{0};
    log_ = rig.workDirectory() / ("program-" + std::to_string(++runs) + ".log");
    process_ = ChildProcess({executable.string()}, environment, {log_});
}

std::optional<XWindow> Program::waitForWindow(const std::string& title,
                                              std::chrono::milliseconds timeout) {
    const std::optional<XWindow> window = rig_.x().waitForWindow(title, pid(), timeout);
    if (!window || !rig_.x().waitUntilActive(*window, 5s)) return std::nullopt;
    mainWindow_ = *window;
    return window;
}

std::string Program::log() const {
    std::ifstream in(log_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Program::waitForLog(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (log().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline || !process_.running()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

}  // namespace velune::rig
