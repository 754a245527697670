#include "audio_session.h"

#include <pthread.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "audio_analysis.h"

namespace velune::e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSink = "velune_e2e";
// 10 ms per read.
constexpr std::size_t kChunkFrames = kSampleRate / 100;
// The first second of a new record stream arrives in bursts (the idle sink renders ahead).
constexpr auto kSettling = 1s;

}  // namespace

AudioServer::AudioServer(const std::filesystem::path& workDirectory)
    : workDirectory_(workDirectory),
      runtimeDirectory_(workDirectory / "pulse"),
      clientConfig_(workDirectory / "pulse-client.conf") {
    std::filesystem::create_directories(runtimeDirectory_);
    ::chmod(runtimeDirectory_.c_str(), 0700);
    std::ofstream(clientConfig_) << "autospawn = no\n";
    address_ = "unix:" + (runtimeDirectory_ / "native").string();
    start();
}

void AudioServer::start() {
    const std::filesystem::path socket = runtimeDirectory_ / "native";
    ChildEnvironment environment = ChildEnvironment::inherited();
    environment.set("XDG_RUNTIME_DIR", runtimeDirectory_.string())
        .set("HOME", workDirectory_.string())
        .set("PULSE_CLIENTCONFIG", clientConfig_.string())
        .unset("DISPLAY")
        .unset("DBUS_SESSION_BUS_ADDRESS");
    server_ = ChildProcess(
        {"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
         "--disable-shm=yes", "--load=module-null-sink sink_name=" + std::string(kSink) + " rate=50000",
         "--load=module-native-protocol-unix socket=" + socket.string() + " auth-anonymous=1"},
        environment, {workDirectory_ / "pulseaudio.log"});

    ChildEnvironment client = ChildEnvironment::inherited();
    configure(client);
    const auto deadline = Clock::now() + 15s;
    while (runCommand({"pactl", "info"}, client, 5s).status != 0) {
        if (!server_.running() || Clock::now() > deadline) {
            throw std::runtime_error("PulseAudio did not start");
        }
        std::this_thread::sleep_for(50ms);
    }
}

AudioServer::~AudioServer() { server_.stop(); }

void AudioServer::kill() {
    if (server_.running()) ::kill(server_.pid(), SIGKILL);
    server_.stop();
}

void AudioServer::restart() {
    kill();
    start();
}

std::string AudioServer::monitorSource() const { return std::string(kSink) + ".monitor"; }

void AudioServer::configure(ChildEnvironment& environment) const {
    environment.set("PULSE_SERVER", address_).set("PULSE_CLIENTCONFIG", clientConfig_.string());
    environment.unset("PULSE_SINK").unset("PULSE_SOURCE");
}

bool saveWav(const std::filesystem::path& file, const std::vector<float>& samples) {
    std::ofstream out(file, std::ios::binary);
    const auto put32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto put16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const auto bytes = static_cast<std::uint32_t>(samples.size() * sizeof(float));
    out.write("RIFF", 4);
    put32(36 + bytes);
    out.write("WAVEfmt ", 8);
    put32(16);
    put16(3);  // IEEE float
    put16(1);
    put32(kSampleRate);
    put32(kSampleRate * sizeof(float));
    put16(sizeof(float));
    put16(32);
    out.write("data", 4);
    put32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
    return static_cast<bool>(out);
}

Recorder::Recorder(const AudioServer& server) {
    pa_sample_spec format{};
    format.format = PA_SAMPLE_FLOAT32NE;
    format.rate = kSampleRate;
    format.channels = 1;
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(kChunkFrames * sizeof(float));
    int error = 0;
    const std::string source = server.monitorSource();
    stream_ = pa_simple_new(server.address().c_str(), "velune-e2e", PA_STREAM_RECORD, source.c_str(),
                            "monitor", &format, nullptr, &attr, &error);
    if (stream_ == nullptr) {
        throw std::runtime_error(std::string("cannot record the monitor: ") + pa_strerror(error));
    }
    thread_ = std::thread([this] { run(); });
    // Ahead of everything else on a busy machine, where that is allowed, so that no recorded
    // sound is lost.
    sched_param priority{};
    priority.sched_priority = 10;
    pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &priority);

    std::unique_lock lock(mutex_);
    const bool settled = arrived_.wait_for(lock, 10s, [this] { return failed_ || origin_.has_value(); });
    if (!settled || failed_) throw std::runtime_error("the monitor does not stream");
}

Recorder::~Recorder() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    if (thread_.joinable()) thread_.join();
    if (stream_ != nullptr) pa_simple_free(stream_);
}

void Recorder::run() {
    std::vector<float> chunk(kChunkFrames);
    std::optional<MonotonicTime> firstArrival;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (!running_) return;
        }
        int error = 0;
        if (pa_simple_read(stream_, chunk.data(), chunk.size() * sizeof(float), &error) < 0) {
            std::lock_guard lock(mutex_);
            failed_ = true;
            arrived_.notify_all();
            return;
        }
        const MonotonicTime now = Clock::now();
        if (!firstArrival) firstArrival = now;
        std::lock_guard lock(mutex_);
        samples_.insert(samples_.end(), chunk.begin(), chunk.end());
        chunks_.push_back({samples_.size(), now});
        if (now - *firstArrival >= kSettling) {
            const auto recorded = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(samples_.size()) / kSampleRate));
            const MonotonicTime origin = now - recorded;
            if (!origin_ || origin < *origin_) origin_ = origin;
        }
        arrived_.notify_all();
    }
}

std::size_t Recorder::size() const {
    std::lock_guard lock(mutex_);
    return samples_.size();
}

std::vector<float> Recorder::slice(std::size_t begin, std::size_t end) const {
    std::lock_guard lock(mutex_);
    end = std::min(end, samples_.size());
    begin = std::min(begin, end);
    return {samples_.begin() + static_cast<std::ptrdiff_t>(begin),
            samples_.begin() + static_cast<std::ptrdiff_t>(end)};
}

std::size_t Recorder::indexAt(MonotonicTime t) const {
    std::lock_guard lock(mutex_);
    if (!origin_ || t <= *origin_) return 0;
    return static_cast<std::size_t>(std::chrono::duration<double>(t - *origin_).count() * kSampleRate);
}

std::optional<MonotonicTime> Recorder::arrivalOf(std::size_t index) const {
    std::lock_guard lock(mutex_);
    const auto chunk = std::upper_bound(chunks_.begin(), chunks_.end(), index,
                                        [](std::size_t i, const Chunk& c) { return i < c.end; });
    if (chunk == chunks_.end()) return std::nullopt;
    return chunk->arrived;
}

bool Recorder::waitFor(std::size_t index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return failed_ || samples_.size() >= index; }) &&
           !failed_;
}

std::optional<std::size_t> Recorder::waitForSound(std::size_t from,
                                                  std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    std::size_t at = from;
    while (Clock::now() < deadline) {
        if (!waitFor(at + kChunkFrames, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - Clock::now()))) {
            break;
        }
        if (!isSilent(slice(at, at + kChunkFrames))) return at;
        at += kChunkFrames;
    }
    return std::nullopt;
}

std::optional<std::size_t> Recorder::waitForSilence(std::size_t from, std::chrono::milliseconds hold,
                                                    std::chrono::milliseconds timeout) const {
    const auto holdSamples = static_cast<std::size_t>(hold.count()) * kSampleRate / 1000;
    const auto deadline = Clock::now() + timeout + hold;
    std::size_t start = from, at = from;
    while (Clock::now() < deadline) {
        if (!waitFor(at + kChunkFrames, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - Clock::now()))) {
            break;
        }
        if (!isSilent(slice(at, at + kChunkFrames))) start = at + kChunkFrames;
        at += kChunkFrames;
        if (at - start >= holdSamples) return start;
    }
    return std::nullopt;
}

}  // namespace velune::e2e
