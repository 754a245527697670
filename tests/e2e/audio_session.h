#pragma once

// A private PulseAudio server whose only output is a null sink at the analysis rate, and a
// recorder of that sink's monitor: everything the program plays, sample by sample, with the
// monotonic time at which each stretch arrived.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

struct pa_simple;

namespace velune::e2e {

class AudioServer {
public:
    // Starts the server; throws std::runtime_error when it does not answer.
    explicit AudioServer(const std::filesystem::path& workDirectory);
    ~AudioServer();
    AudioServer(const AudioServer&) = delete;
    AudioServer& operator=(const AudioServer&) = delete;

    // "unix:<socket>", for PULSE_SERVER.
    const std::string& address() const { return address_; }
    // A client configuration that never starts a server of its own.
    const std::filesystem::path& clientConfig() const { return clientConfig_; }
    std::string monitorSource() const;
    // The variables that send a client's sound here and nowhere else.
    void configure(ChildEnvironment& environment) const;

    // The server dies at once, as in a crash: its clients' connections break.
    void kill();
    // A new server on the same address; throws std::runtime_error when it does not answer.
    void restart();
    bool running() { return server_.running(); }

private:
    void start();

    std::filesystem::path workDirectory_;
    std::filesystem::path runtimeDirectory_;
    std::filesystem::path clientConfig_;
    std::string address_;
    ChildProcess server_;
};

using MonotonicTime = std::chrono::steady_clock::time_point;

// Writes mono float samples at the analysis rate as a WAV file.
bool saveWav(const std::filesystem::path& file, const std::vector<float>& samples);

class Recorder {
public:
    // Starts recording the monitor and waits until it streams in real time.
    explicit Recorder(const AudioServer& server);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    std::size_t size() const;
    std::vector<float> slice(std::size_t begin, std::size_t end) const;
    // The sample that was being recorded at monotonic time `t` (the sink's clock runs with the
    // monotonic clock at 50 kHz; the fastest arrival of each stretch pins the offset).
    std::size_t indexAt(MonotonicTime t) const;
    std::size_t indexNow() const { return indexAt(std::chrono::steady_clock::now()); }
    // When the read that brought sample `index` returned (nothing if it has not arrived yet).
    std::optional<MonotonicTime> arrivalOf(std::size_t index) const;
    // Waits until samples up to `index` have arrived.
    bool waitFor(std::size_t index, std::chrono::milliseconds timeout) const;
    // The first 10 ms from `from` on that is not silent, waiting up to `timeout` for it.
    std::optional<std::size_t> waitForSound(std::size_t from, std::chrono::milliseconds timeout) const;
    // The first stretch of `hold` silence from `from` on, waiting up to `timeout` for it.
    std::optional<std::size_t> waitForSilence(std::size_t from, std::chrono::milliseconds hold,
                                              std::chrono::milliseconds timeout) const;

private:
    void run();

    pa_simple* stream_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<float> samples_;
    // When each read returned, and how many samples had arrived by then.
    struct Chunk {
        std::size_t end;
        MonotonicTime arrived;
    };
    std::vector<Chunk> chunks_;
    // Arrival time minus the duration of everything recorded, smallest seen once the stream has
    // settled: the monotonic time of sample 0.
    std::optional<MonotonicTime> origin_;
    bool running_ = true;
    bool failed_ = false;
    std::thread thread_;
};

}  // namespace velune::e2e
