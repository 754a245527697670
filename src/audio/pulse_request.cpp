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
// A network sink hands the sound on as the server at the far end asks for it, and that server
// says nothing when it runs dry. What the far end holds is what this stream asks of the sink:
// PulseAudio keeps a quarter of it in the far sink, asks for a quarter at a time, and asks when
// the far queue is down to half, so what rides out a stall of the tunnel's own thread (which is
// not real-time) or of the far server is about a quarter. At 15 ms that was under 4 ms: on a
// noisy two-core virtual machine every stall of 4 ms or more was a dropout (5-33 in a scale). At
// 25 ms none was in ten scales, and in the benchmark the note sounded as soon as before (about
// 32 ms after its key), since the note is written only a block ahead (below), not a whole share.
constexpr std::chrono::microseconds kNetworkShare{25000};
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
    if (sink.network) {
        const auto share =
            sink.dynamicLatency ? kNetworkShare : std::max(kNetworkShare, sink.latency);
        return {framesOf(share, sink.rate), 3};
    }
    if (sink.dynamicLatency) return {kLocalPeriod, kLocalPeriods};
    const unsigned period =
        std::max(kShortestPeriod, framesOf(std::min(sink.latency, kShortestQueue), sink.rate));
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
        request.marginFrames =
            std::max<std::size_t>(rate / kRewriteAheadPerSecond, setting.periodFrames);
    } else if (sink.network) {
        // The far end asks for a quarter of its share at a time, and the sink renders what it
        // asks for when it asks: a note a block ahead of where the sink read lands before it.
        request.marginFrames = setting.periodFrames / 4 + rate / kRewriteAheadPerSecond;
    } else {
        request.marginFrames =
            std::max<std::size_t>(setting.periodFrames, framesOf(sink.latency, rate));
    }
    return request;
}

}  // namespace velune
