// What the program asks of each kind of sink, and which way out it tries first: decided from
// what the server says, as tables.

#include "audio/pulse_request.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio/audio_output.h"

namespace velune {
namespace {

using std::chrono::microseconds;
constexpr std::size_t kFrameBytes = 8;  // stereo float

TEST(PulseRequest, EachSinkIsAskedOnlyForALatencyItCanHold) {
    const BufferSetting fallback{128, 3};
    const struct {
        const char* name;
        SinkFacts sink;
        BufferSetting start;
        // For that start:
        std::uint32_t sinkShareFrames;  // tlength - 2 minreq, or the whole buffer
        std::size_t marginFrames;
        bool rewritable;
    } cases[] = {
        {"the null sink, a card with timer scheduling: one short period, a rewrite a period ahead",
         {50000, true, false, microseconds(1280)}, {64, 16}, 64, 64, true},
        {"the same at 44.1 kHz", {44100, true, false, microseconds(1451)}, {64, 16}, 64, 64, true},
        {"a tunnel or network sink: 25 ms, and a rewrite a quarter of that ahead",
         {50000, true, true, microseconds(1280)}, {1264, 3}, 1264, 378, true},
        {"a network sink at 44.1 kHz", {44100, true, true, microseconds(0)}, {1104, 3}, 1104, 331, true},
        {"a network sink of a fixed 40 ms: its own", {48000, false, true, microseconds(40000)},
         {1920, 3}, 1920, 540, true},
        {"a sink of fixed latency, Bluetooth: its own, and the rewrite beyond it",
         {48000, false, false, microseconds(40000)}, {960, 3}, 960, 1920, true},
        {"a card of fixed 4 ms", {48000, false, false, microseconds(4000)}, {192, 5}, 192, 192, true},
        {"PipeWire's PulseAudio server: the whole buffer, no rewrite",
         {48000, true, false, microseconds(5000), true}, fallback, 384, 0, false},
    };
    for (const auto& c : cases) {
        const BufferSetting start = startingBuffer(c.sink, fallback);
        EXPECT_EQ(start, c.start) << c.name;
        const PulseRequest request = requestFor(start, c.sink, kFrameBytes);
        const std::uint32_t share =
            request.adjustLatency ? request.tlength : request.tlength - 2 * request.minreq;
        EXPECT_EQ(share / kFrameBytes, c.sinkShareFrames) << c.name;
        EXPECT_EQ(request.marginFrames, c.marginFrames) << c.name;
        EXPECT_EQ(request.rewritable, c.rewritable) << c.name;
        EXPECT_EQ(request.adjustLatency, c.sink.pipewire) << c.name;
        EXPECT_GE(request.tlength / kFrameBytes, start.periodFrames * start.periods) << c.name;
        EXPECT_EQ(request.prebuf / kFrameBytes, start.periodFrames) << c.name;
    }
}

TEST(BackendOrder, PipeWireNativelyWherePipeWireServesThenTheServerThenAlsa) {
    using enum BackendKind;
    const struct {
        const char* name;
        bool reached, pipewire, native;
        std::vector<BackendKind> order;
    } cases[] = {
        {"PulseAudio", true, false, true, {PulseAudio, Alsa}},
        {"PipeWire", true, true, true, {PipeWire, PulseAudio, Alsa}},
        {"PipeWire, its native stream turned off", true, true, false, {PulseAudio, Alsa}},
        {"no PulseAudio protocol: PipeWire alone may still run", false, false, true,
         {PipeWire, Alsa}},
        {"nothing but ALSA", false, false, false, {Alsa}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(backendOrder(c.reached, c.pipewire, c.native), c.order) << c.name;
}

}  // namespace
}  // namespace velune
