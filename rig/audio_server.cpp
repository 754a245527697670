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
constexpr const char* kOtherSink = "velune_headphones";
constexpr const char* kTunnel = "velune_tunnel";
constexpr const char* kFarSink = "velune_far";

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

const char* nameOf(SinkKind kind) {
    switch (kind) {
        case SinkKind::Null:
            return "null";
        case SinkKind::Tunnel:
            return "tunnel";
        case SinkKind::Card44k:
            return "44k";
        case SinkKind::Card48k:
            return "48k";
        case SinkKind::SuspendOnIdle:
            return "suspend";
        case SinkKind::TwoSinks:
            return "switch";
    }
    return "?";
}

SinkKind sinkNamed(const std::string& name) {
    for (SinkKind kind : kAllSinks) {
        if (name == nameOf(kind)) return kind;
    }
    throw std::invalid_argument("a sink is null, tunnel, 44k, 48k, suspend or switch, not " + name);
}

SinkKind sinkFromEnvironment() {
    const char* chosen = std::getenv("VELUNE_E2E_SINK");
    return chosen == nullptr || *chosen == '\0' ? SinkKind::Null : sinkNamed(chosen);
}

AudioServer::AudioServer(const std::filesystem::path& workDirectory, ServerKind kind, SinkKind sink)
    : kind_(kind),
      sink_(sink),
      workDirectory_(workDirectory),
      runtimeDirectory_(workDirectory / "audio") {
    if (kind == ServerKind::PipeWire && sink != SinkKind::Null) {
        throw std::invalid_argument(std::string("the ") + nameOf(sink) +
                                    " sink is made on PulseAudio only");
    }
    address_ = "unix:" + (runtimeDirectory_ / "pulse" / "native").string();
    recordingAddress_ = sink == SinkKind::Tunnel
                            ? "unix:" + (workDirectory / "far-audio" / "pulse" / "native").string()
                            : address_;
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
    resume();
    for (auto server = servers_.rbegin(); server != servers_.rend(); ++server) server->stop();
    farServer_.stop();
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
    switched_ = false;
    if (kind_ == ServerKind::PipeWire) {
        startPipeWire(environment);
    } else {
        startPulseAudio(environment);
    }
    waitUntilServing();
}

namespace {

std::vector<std::string> pulseAudioCommand(const std::string& socket,
                                           const std::vector<std::string>& modules) {
    std::vector<std::string> command{"pulseaudio", "--daemonize=no",    "--exit-idle-time=-1",
                                     "-n",         "--use-pid-file=no", "--disable-shm=yes"};
    for (const std::string& module : modules) command.push_back("--load=" + module);
    command.push_back("--load=module-native-protocol-unix socket=" + socket + " auth-anonymous=1");
    return command;
}

std::string nullSink(const char* name, int rate) {
    return "module-null-sink sink_name=" + std::string(name) + " rate=" + std::to_string(rate);
}

}  // namespace

// The sinks are loaded in the order a user's server would find them; waitUntilServing() makes
// the first the default.
void AudioServer::startPulseAudio(const ChildEnvironment& environment) {
    std::vector<std::string> modules;
    switch (sink_) {
        case SinkKind::Tunnel:
            startFarServer(environment);
            modules.push_back("module-tunnel-sink-new server=" + recordingAddress_ +
                              " sink=" + kFarSink + " sink_name=" + kTunnel);
            break;
        case SinkKind::Card44k:
            modules.push_back(nullSink(kSink, 44100));
            break;
        case SinkKind::Card48k:
            modules.push_back(nullSink(kSink, 48000));
            break;
        case SinkKind::TwoSinks:
            modules.push_back(nullSink(kSink, kSampleRate));
            modules.push_back(nullSink(kOtherSink, kSampleRate));
            break;
        case SinkKind::Null:
        case SinkKind::SuspendOnIdle:
            modules.push_back(nullSink(kSink, kSampleRate));
            break;
    }
    servers_.emplace_back(pulseAudioCommand(address_.substr(5), modules), environment,
                          SpawnOptions{workDirectory_ / "audio-server.log"});
}

// The other end of a tunnel, as a speaker across the network: a server of its own with a null
// sink at the analysis rate, its socket in a folder of its own.
void AudioServer::startFarServer(const ChildEnvironment& environment) {
    if (farServer_.running()) return;
    const std::filesystem::path runtime = workDirectory_ / "far-audio";
    std::filesystem::remove_all(runtime);
    std::filesystem::create_directories(runtime / "pulse");
    ::chmod(runtime.c_str(), 0700);
    ChildEnvironment far = environment;
    far.set("XDG_RUNTIME_DIR", runtime.string()).set("HOME", runtime.string());
    farServer_ = ChildProcess(
        pulseAudioCommand(recordingAddress_.substr(5), {nullSink(kFarSink, kSampleRate)}), far,
        SpawnOptions{workDirectory_ / "far-audio-server.log"});
    ChildEnvironment client = ChildEnvironment::inherited();
    configure(client);
    client.set("PULSE_SERVER", recordingAddress_);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (runCommand({"pactl", "info"}, client, 5s).status != 0) {
        if (!farServer_.running() || std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the server at the far end of the tunnel did not start");
        std::this_thread::sleep_for(50ms);
    }
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

// Serving means the sink a new stream plays into is the default: streams reach it. On
// PipeWire the session manager makes it so.
void AudioServer::waitUntilServing() {
    ChildEnvironment client = ChildEnvironment::inherited();
    configure(client);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (runCommand({"pactl", "info"}, client, 5s).output.find("Default Sink: " + sink()) ==
           std::string::npos) {
        if (!running() || std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error(std::string(nameOf(kind_)) + " did not start");
        }
        if (kind_ == ServerKind::PulseAudio) pactl({"set-default-sink", sink()});
        std::this_thread::sleep_for(50ms);
    }
}

bool AudioServer::pactl(const std::vector<std::string>& arguments) const {
    ChildEnvironment client = ChildEnvironment::inherited();
    configure(client);
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runCommand(command, client, 5s).status == 0;
}

std::vector<std::string> AudioServer::monitorSources() const {
    switch (sink_) {
        case SinkKind::Tunnel:
            return {std::string(kFarSink) + ".monitor"};
        case SinkKind::TwoSinks:
            return {std::string(kSink) + ".monitor", std::string(kOtherSink) + ".monitor"};
        default:
            return {std::string(kSink) + ".monitor"};
    }
}

std::string AudioServer::sink() const {
    if (sink_ == SinkKind::Tunnel) return kTunnel;
    return switched_ ? kOtherSink : kSink;
}

bool AudioServer::switchSink() {
    if (sink_ != SinkKind::TwoSinks) return false;
    const std::string to = switched_ ? kSink : kOtherSink;
    ChildEnvironment client = ChildEnvironment::inherited();
    configure(client);
    const CommandResult inputs = runCommand({"pactl", "list", "short", "sink-inputs"}, client, 5s);
    if (inputs.status != 0) return false;
    bool moved = true;
    for (std::size_t line = 0; line < inputs.output.size();) {
        const std::size_t end = std::min(inputs.output.find('\n', line), inputs.output.size());
        const std::string index = inputs.output.substr(line, inputs.output.find('\t', line) - line);
        if (!index.empty() && end > line) moved = pactl({"move-sink-input", index, to}) && moved;
        line = end + 1;
    }
    switched_ = !switched_;
    return pactl({"set-default-sink", to}) && moved;
}

bool AudioServer::suspendWhenIdle() {
    return pactl({"load-module", "module-suspend-on-idle",
                  "timeout=" + std::to_string(kSuspendAfterSeconds)});
}

bool AudioServer::sinkSuspended() const {
    ChildEnvironment client = ChildEnvironment::inherited();
    configure(client);
    const std::string sinks = runCommand({"pactl", "list", "short", "sinks"}, client, 5s).output;
    const std::size_t line = sinks.find("\t" + sink() + "\t");
    return line != std::string::npos &&
           sinks.substr(line, sinks.find('\n', line) - line).find("SUSPENDED") != std::string::npos;
}

void AudioServer::hang() {
    for (pid_t pid : pids()) ::kill(pid, SIGSTOP);
}

void AudioServer::resume() {
    for (pid_t pid : pids()) ::kill(pid, SIGCONT);
}

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
