#pragma once

// A recording of the audio server's monitor in which every sample has a monotonic time.
//
// Two clocks meet here: the sink's, which plays sample n of the monitor at origin + n / rate,
// and the monotonic clock of this process. Every chunk is logged with the monotonic time it
// arrived, and every 25 ms the recorder asks the server for the stream's timing: the write
// index W (how much the monitor has handed on), the sink's latency S, the transport time T.
// Each answer, received at time R, gives one estimate of the origin:
//
//   origin = R - T + S - W / rate
//
// that is, the monitor position W is played S after the server answered: the latency the
// server reports, subtracted. A monitor hands on what its sink renders at once, so this holds
// to a few microseconds while a program plays. Any delay on the server's side (a write index
// not yet updated, a render in several chunks) makes an estimate later, never earlier: the
// origin is the lowest estimates around a moment (their 1st percentile), and the spread of the
// lowest tenth, plus the slack of the sink's timer, is the method's error there. Left out: the first
// seconds of the stream, whose answers can be stale by a few hundred milliseconds, and the time
// around an idle sink (no program playing), which renders seconds ahead in many chunks and
// hands them on before it plays them.
//
// Like the end-to-end tests' recorder, this one reads 10 ms chunks and asks for that latency,
// which keeps the null sink from idling seconds ahead (a program starting then would be heard
// only once those seconds have played) and caps the sink's latency at 10 ms; below that, the
// sink runs at whatever latency the program under test asks for, as a sound card would.

#include <pulse/pulseaudio.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velune::bench {

using Clock = std::chrono::steady_clock;

struct TimeBase {
    Clock::time_point origin;   // when the sink played sample 0
    unsigned rate = 0;
    double errorMs = 0;         // the spread of the lowest estimates and the sink's timer slack
    double driftPpm = 0;        // how fast the sink's clock runs against the monotonic clock
    double sinkLatencyMs = 0;   // the largest the sink reported: how far ahead of playing it renders
    std::size_t answers = 0;

    // The sample played at monotonic time `t`, and the time sample `index` was played.
    double indexAt(Clock::time_point t) const;
    Clock::time_point timeOf(double index) const;
};

class TimedRecorder {
public:
    // Records `source` (mono, float, at `rate`); throws std::runtime_error when it cannot.
    TimedRecorder(const std::string& server, const std::string& source, unsigned rate);
    ~TimedRecorder();
    TimedRecorder(const TimedRecorder&) = delete;
    TimedRecorder& operator=(const TimedRecorder&) = delete;

    unsigned rate() const { return rate_; }
    std::size_t size() const;
    // Stretches the server dropped from the recording (read as silence); none when it kept up.
    std::size_t holes() const;
    std::vector<float> slice(std::size_t begin, std::size_t end) const;
    bool waitFor(std::size_t index, std::chrono::milliseconds timeout) const;

    // Waits until the stale first timing answers are past and enough good ones have come.
    bool waitUntilSettled(std::chrono::milliseconds timeout) const;
    // From the answers and chunks within `window` of `around`, or from all of them.
    std::optional<TimeBase> timeBase(std::optional<Clock::time_point> around = std::nullopt,
                                     std::chrono::seconds window = std::chrono::seconds(5)) const;

private:
    // In seconds since the recording started.
    struct Answer {
        double received;
        double origin;
        double sinkLatency;
    };
    struct Chunk {
        double arrived;
        std::size_t end;  // the samples recorded with it
    };

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self);
    static void onTiming(pa_stream* stream, int success, void* self);
    void addAnswer(const pa_timing_info& info, Clock::time_point received);
    double secondsSinceStart(Clock::time_point t) const;
    static double drift(const std::vector<Answer>& answers);

    unsigned rate_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_time_event* timer_ = nullptr;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<float> samples_;
    Clock::time_point started_;
    std::vector<Answer> answers_;
    std::vector<Chunk> chunks_;
    std::size_t holes_ = 0;
    bool failed_ = false;
};

}  // namespace velune::bench
