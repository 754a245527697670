#include "audio/pulse_request.h"

#include <algorithm>

namespace velune {
namespace {

// A sink that rewinds and keeps time: its share is one period of 64 frames (1.3 ms at 50 kHz),
// and the queue before it 16 periods, which is what a busy server's main thread may take to come
// round (13 ms with both cores busy on a two-core machine; 3 periods clicked there). The sink
// takes a period at a time, and a note is written a period ahead of where it read: a share of
// 128 frames sounded 1.5 ms later in the benchmark (6.0 ms), for a server that woke half as often
// (6.3 % of a core while playing instead of 6.9).
constexpr unsigned kLocalPeriod = 64;
constexpr unsigned kLocalPeriods = 16;
constexpr unsigned kShortestPeriod = 64;
// A network sink hands the sound on in blocks of its latency, and the server at the far end plays
// what arrives with no more than that in hand, and says nothing when it runs dry: at 5 ms a
// tunnel between two servers on a busy two-core machine ran dry 8 to 38 times in ten seconds;
// at 10 ms it still did now and then (2-8 times in 30 s of playing, and 4 of 14 runs of a
// scale), at 15 ms once or never (3 times in 120 s, 0 of 16 scales). A note then sounds ~10 ms
// later, about 30 ms after its key.
constexpr std::chrono::microseconds kNetworkShare{15000};
// The queue before the sink, however long the period.
constexpr std::chrono::microseconds kShortestQueue{20000};
constexpr unsigned kFrameStep = 16;
constexpr unsigned kRewriteAheadPerSecond = 800;  // 1.25 ms

unsigned framesOf(std::chrono::microseconds time, unsigned rate) {
    const auto exact = static_cast<unsigned>(time.count() * rate / 1000000);
    return (exact + kFrameStep - 1) / kFrameStep * kFrameStep;
}

unsigned periodsFor(unsigned period, unsigned rate) {
    const unsigned queue = framesOf(kShortestQueue, rate);
    return std::max(3u, (queue + period - 1) / period);
}

}  // namespace

BufferSetting startingBuffer(const SinkFacts& sink, const BufferSetting& fallback) {
    if (sink.pipewire || sink.rate == 0) return fallback;
    if (sink.dynamicLatency && !sink.network) return {kLocalPeriod, kLocalPeriods};
    const std::chrono::microseconds floor = sink.network ? kNetworkShare : decltype(floor){0};
    const std::chrono::microseconds share = std::max(floor, sink.dynamicLatency ? floor : sink.latency);
    const unsigned period = std::max(kShortestPeriod, framesOf(std::min(share, kShortestQueue),
                                                               sink.rate));
    return {period, periodsFor(period, sink.rate)};
}

PulseRequest requestFor(const BufferSetting& setting, const SinkFacts& sink,
                        std::size_t frameBytes) {
    const auto period = static_cast<std::uint32_t>(setting.periodFrames * frameBytes);
    const std::uint32_t queue = period * setting.periods;
    PulseRequest request;
    request.prebuf = period;  // start, and start again after an underrun, at once
    if (sink.pipewire) {
        request.tlength = queue;
        request.minreq = period;
        request.adjustLatency = true;
        return request;
    }
    // PulseAudio gives the sink what the buffer holds beyond two requests: tlength - 2 minreq,
    // one period. The server asks for the queue less a period at a time rather than for every
    // period: server and program wake up half as often while playing.
    request.minreq = queue - period;
    request.tlength = queue + request.minreq;
    request.rewritable = true;
    const unsigned rate = std::max(sink.rate, 1u);
    if (sink.dynamicLatency && !sink.network) {
        // The sink takes a period at a time: a note written less than that ahead of where it
        // read last may land behind where it reads next, and be joined where it does not fit.
        request.marginFrames = std::max<std::size_t>(rate / kRewriteAheadPerSecond,
                                                     setting.periodFrames);
    } else if (sink.dynamicLatency) {
        request.marginFrames = setting.periodFrames;
    } else {
        request.marginFrames = std::max<std::size_t>(setting.periodFrames,
                                                     framesOf(sink.latency, rate));
    }
    return request;
}

}  // namespace velune
