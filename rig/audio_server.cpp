#include "audio_server.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "audio_analysis.h"

namespace velune::rig {
namespace {

using namespace std::chrono_literals;

constexpr const char* kSink = "velune_sink";

// PipeWire's graph at the analysis rate, driven by a null sink.
constexpr const char* kPipeWireConfig = R"(context.properties = {
    default.clock.rate = 50000
    default.clock.allowed-rates = [ 50000 ]
}
context.objects = [
    { factory = adapter
        args = {
            factory.name = support.null-audio-sink
            node.name = velune_sink
            media.class = Audio/Sink
            audio.position = [ FL FR ]
            audio.rate = 50000
            node.driver = true
        }
    }
]
)";

}  // namespace

ServerKind serverFromEnvironment() {
    const char* chosen = std::getenv("VELUNE_E2E_SERVER");
    const std::string name = chosen != nullptr ? chosen : "";
    if (name.empty() || name == "pulse") return ServerKind::PulseAudio;
    if (name == "pipewire") return ServerKind::PipeWire;
    throw std::invalid_argument("VELUNE_E2E_SERVER is pulse or pipewire, not " + name);
}

const char* nameOf(ServerKind kind) {
    return kind == ServerKind::PipeWire ? "PipeWire" : "PulseAudio";
}

AudioServer::AudioServer(const std::filesystem::path& workDirectory, ServerKind kind)
    : kind_(kind), workDirectory_(workDirectory), runtimeDirectory_(workDirectory / "audio") {
    address_ = "unix:" + (runtimeDirectory_ / "pulse" / "native").string();
    std::ofstream(workDirectory_ / "pulse-client.conf") << "autospawn = no\n";
    const std::filesystem::path config = workDirectory_ / "audio-config" / "pipewire";
    std::filesystem::create_directories(config / "pipewire.conf.d");
    std::filesystem::create_directories(config / "pipewire-pulse.conf.d");
    std::ofstream(config / "pipewire.conf.d" / "velune.conf") << kPipeWireConfig;
    std::ofstream(config / "pipewire-pulse.conf.d" / "velune.conf")
        << "pulse.properties = {\n    pulse.min.req = " << kPulseMinReq
        << "\n    pulse.min.quantum = " << kPulseMinQuantum << "\n}\n";
    start();
}

AudioServer::~AudioServer() {
    for (auto server = servers_.rbegin(); server != servers_.rend(); ++server) server->stop();
    bus_.stop();
}

void AudioServer::start() {
    std::filesystem::remove_all(runtimeDirectory_);
    std::filesystem::create_directories(runtimeDirectory_ / "pulse");
    ::chmod(runtimeDirectory_.c_str(), 0700);
    ChildEnvironment environment = ChildEnvironment::inherited();
    configure(environment);
    environment.set("HOME", workDirectory_.string())
        .set("XDG_RUNTIME_DIR", runtimeDirectory_.string())
        .set("XDG_CONFIG_HOME", (workDirectory_ / "audio-config").string())
        .set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (workDirectory_ / "bus").string())
        .unset("DISPLAY")
        .unset("PULSE_SERVER");
    const std::filesystem::path log = workDirectory_ / "audio-server.log";
    if (kind_ == ServerKind::PipeWire) {
        startPipeWire(environment);
    } else {
        servers_.emplace_back(
            std::vector<std::string>{
                "pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
                "--disable-shm=yes",
                "--load=module-null-sink sink_name=" + std::string(kSink) + " rate=50000",
                "--load=module-native-protocol-unix socket=" + address_.substr(5) +
                    " auth-anonymous=1"},
            environment, SpawnOptions{log});
    }
    waitUntilServing();
}

void AudioServer::startPipeWire(const ChildEnvironment& environment) {
    const std::filesystem::path log = workDirectory_ / "audio-server.log";
    // WirePlumber, which links streams to the sink, will not run without a session bus.
    if (!bus_.running()) {
        bus_ = ChildProcess({"dbus-daemon", "--session", "--nofork",
                             "--address=unix:path=" + (workDirectory_ / "bus").string()},
                            environment, {log});
    }
    servers_.emplace_back(std::vector<std::string>{"pipewire"}, environment, SpawnOptions{log});
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(runtimeDirectory_ / "pipewire-0") ||
           !std::filesystem::exists(workDirectory_ / "bus")) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("PipeWire did not start");
        std::this_thread::sleep_for(20ms);
    }
    servers_.emplace_back(std::vector<std::string>{"wireplumber"}, environment, SpawnOptions{log});
    servers_.emplace_back(std::vector<std::string>{"pipewire-pulse"}, environment,
                          SpawnOptions{log});
}

// Serving means a session manager has made the null sink the default: streams reach it.
void AudioServer::waitUntilServing() {
    ChildEnvironment client = ChildEnvironment::inherited();
    configure(client);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (runCommand({"pactl", "info"}, client, 5s)
               .output.find("Default Sink: " + std::string(kSink)) == std::string::npos) {
        if (!running() || std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(std::string(nameOf(kind_)) + " did not start");
        }
        std::this_thread::sleep_for(50ms);
    }
}

std::string AudioServer::monitorSource() const { return std::string(kSink) + ".monitor"; }

std::string AudioServer::sink() const { return kSink; }

void AudioServer::configure(ChildEnvironment& environment) const {
    environment.set("PULSE_SERVER", address_)
        .set("PULSE_CLIENTCONFIG", (workDirectory_ / "pulse-client.conf").string())
        .set("PIPEWIRE_RUNTIME_DIR", runtimeDirectory_.string())
        .unset("PULSE_SINK")
        .unset("PULSE_SOURCE")
        .unset("PIPEWIRE_REMOTE");
}

std::vector<pid_t> AudioServer::pids() const {
    std::vector<pid_t> pids;
    for (const ChildProcess& server : servers_) pids.push_back(server.pid());
    return pids;
}

void AudioServer::kill() {
    for (ChildProcess& server : servers_) {
        if (server.running()) ::kill(server.pid(), SIGKILL);
    }
    for (ChildProcess& server : servers_) server.stop();
    servers_.clear();
}

void AudioServer::restart() {
    kill();
    start();
}

bool AudioServer::running() {
    for (ChildProcess& server : servers_) {
        if (!server.running()) return false;
    }
    return !servers_.empty();
}

}  // namespace velune::rig
