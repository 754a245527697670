#pragma once

// A recording of the audio server's monitor: everything played into the sink, sample by sample,
// mono at the analysis rate, with the monotonic time at which each stretch arrived.
//
// On PulseAudio it records the sink's monitor source. On PipeWire it is a native capture stream
// of the sink, in real time, timed by the graph's own clock: each cycle says when it ran and at
// which sample of the graph's clock, so that sample n is placed at n and a cycle the recording
// did not get (at a change of quantum) is a hole of silence, told apart from a dropout of the
// program (dropouts()). PipeWire's PulseAudio server times a recording too loosely to time a key
// to its sound: through it, keys seemed to sound within a millisecond, sooner than one quantum.
//
// Reading 10 ms at a time and asking for that latency keeps the null sink from idling seconds
// ahead (a program starting then would be heard only once those seconds have played); below
// that, the sink runs at whatever latency the program asks for, as a sound card would.
//
// On PulseAudio, two clocks meet here: the sink's, which plays sample n at origin + n / rate, and
// the monotonic clock. The arrivals give the origin to a few milliseconds: the earliest any stretch
// arrived, less the duration recorded before it. For finer timing, every 25 ms the recorder also
// asks the server for the stream's timing (the write index W, the sink's latency S, the transport
// time T); an answer received at R says the origin was R - T + S - W / rate.
//
// Where the sound can move between sinks (AudioServer::monitorSources() names more than one),
// each monitor is recorded and the others are mixed into the first by their time: a sample of
// another monitor lies where the first played at the same monotonic time, each monitor's origin
// taken from its own arrivals. While a sink is suspended its monitor sends nothing; the recording
// goes on with silence (a hole) so that it keeps time, and the timing answers count it.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio_analysis.h"
#include "audio_server.h"

struct pw_thread_loop;
struct pw_stream;

namespace velune::rig {

using MonotonicTime = std::chrono::steady_clock::time_point;

struct TimingAnswer {
    MonotonicTime received;
    MonotonicTime origin;  // what this answer says about when sample 0 was played
    double sinkLatencyMs;
    // On PipeWire, the frames of the graph's cycle it came with; 0 on PulseAudio. The origin
    // PipeWire's clock gives moves whenever the quantum changes, by the change (17.9 ms between
    // 1024 frames with no program playing and 128 while Velune plays).
    std::size_t cycleFrames = 0;
};

class Recorder {
  public:
    // Records the monitor of `server`'s sink, waiting until it streams in real time; throws
    // std::runtime_error when it does not.
    explicit Recorder(const AudioServer& server);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    std::size_t size() const;
    std::vector<float> slice(std::size_t begin, std::size_t end) const;
    // What one monitor alone recorded there (0: the first of AudioServer::monitorSources()).
    std::vector<float> sliceOf(std::size_t monitor, std::size_t begin, std::size_t end) const;
    // The sample that was being recorded at monotonic time `t`.
    std::size_t indexAt(MonotonicTime t) const;
    std::size_t indexNow() const { return indexAt(std::chrono::steady_clock::now()); }
    // Waits until samples up to `index` have arrived; false when they did not or the stream broke.
    bool waitFor(std::size_t index, std::chrono::milliseconds timeout) const;
    // The first 10 ms from `from` on that is not silent, waiting up to `timeout` for it.
    std::optional<std::size_t> waitForSound(std::size_t from,
                                            std::chrono::milliseconds timeout) const;
    // The first stretch of `hold` silence from `from` on, waiting up to `timeout` for it.
    std::optional<std::size_t> waitForSilence(std::size_t from, std::chrono::milliseconds hold,
                                              std::chrono::milliseconds timeout) const;
    std::vector<TimingAnswer> timingAnswers() const;
    // Stretches the server dropped from the recording (kept as silence); none when it kept up.
    std::size_t holes() const;
    // Stops and restarts the recording, so that what is measured in between is the program and
    // its server alone: for the monitor of a sink with a short period, the server hands every
    // block to its main thread for the recording, as no player's desktop has it do. The
    // recording keeps time across the pause, in silence, as across a suspended sink. (On
    // PipeWire the recording is one more node in the graph's cycle, and goes on.)
    void pause();
    void resume();
    // The dropouts of what was played from `begin` to `end` (indices of the recording), leaving
    // out the recording's own holes.
    std::vector<Dropout> dropouts(std::size_t begin, std::size_t end) const;

  private:
    // The first second of a new record stream arrives in bursts (the idle sink renders ahead).
    static constexpr std::chrono::seconds kSettling{1};

    // How often the server's timing is asked for (PulseAudio) or kept (PipeWire).
    static constexpr int kTimingIntervalMs = 25;
    // PipeWire's data thread runs ahead of the load a test puts on the machine, as a sound
    // server's own threads do, but behind the program's rendering thread (60). Above it, on a
    // two-core virtual machine, the recording's thread ran for 2 ms or more at a time some 500
    // times a minute, the program's thread waited behind it (2.8 ms in one missed cycle), and
    // the benchmark counted three to four times as many missed cycles.
    static constexpr int kRealtimePriority = 50;
    static std::chrono::steady_clock::duration durationOf(std::size_t samples);

    // A monitor recorded beside the first, mixed in by its time.
    struct OtherMonitor {
        Recorder* recorder = nullptr;
        pa_stream* stream = nullptr;
        std::vector<float> samples;
        MonotonicTime firstArrival;
        std::optional<MonotonicTime> origin;
    };
    // Silence written in while the sink was suspended: `count` samples more in the recording
    // than the server sent, from the `sent`th sample it sent on.
    struct Filled {
        std::size_t sent;
        std::size_t count;
    };

    static void onState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onOtherRead(pa_stream* stream, std::size_t bytes, void* other);
    static void onSuspended(pa_stream* stream, void* self);
    static void onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                        void* self);
    static void onTiming(pa_stream* stream, int success, void* self);
    void connect(const std::string& address, const std::vector<std::string>& monitors);
    pa_stream* record(const std::string& monitor, pa_stream_request_cb_t onData, void* data);
    void connectPipeWire(const AudioServer& server);
    static void onPipeWireProcess(void* self);
    void noteState(bool good);
    void cork(bool corked);
    void close();
    void append(const void* data, std::size_t bytes);
    // With the mutex held: silence up to `index`, as a hole.
    void fillTo(std::size_t index);
    // With the mutex held: the samples of the other monitors that lie under [begin, end) of the
    // first, and how far into the first they all reach.
    void mixOthers(std::size_t begin, std::vector<float>& samples, std::size_t only = 0) const;
    std::size_t sizeLocked() const;
    std::size_t indexAtLocked(MonotonicTime t) const;
    // Samples the sink played from `played` on, at `ticks` of the graph's clock.
    void appendPlayed(const float* data, std::size_t count, std::uint64_t ticks,
                      double samplesPerTick, MonotonicTime played);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_time_event* timer_ = nullptr;
    pw_thread_loop* pwLoop_ = nullptr;
    pw_stream* pwStream_ = nullptr;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<float> samples_;
    MonotonicTime firstArrival_;
    std::optional<MonotonicTime> origin_;
    std::vector<TimingAnswer> answers_;
    MonotonicTime lastAnswer_;
    std::uint64_t firstTicks_ = 0;
    std::int64_t skippedTicks_ = 0;           // in samples: the clock's jumps at changes of quantum
    std::optional<MonotonicTime> playedEnd_;  // when the last cycle's sound ended
    bool realtime_ = false;                   // PipeWire's data thread has been made real-time
    std::vector<Dropout> holes_;
    bool failed_ = false;
    std::vector<std::unique_ptr<OtherMonitor>> others_;
    std::size_t sent_ = 0;  // samples the server sent on the first monitor
    std::vector<Filled> filled_;
    bool suspended_ = false;  // the first monitor's sink is suspended
    bool catchUp_ = false;    // it was; the next samples to arrive say how long
    bool resumed_ = false;    // after pause(): the silence it leaves is no hole of the server's
    std::size_t pauses_ = 0;  // such silences among the holes
};

// Writes mono float samples at the analysis rate as a WAV file, for a person to listen to.
bool saveWav(const std::filesystem::path& file, const std::vector<float>& samples);

}  // namespace velune::rig
