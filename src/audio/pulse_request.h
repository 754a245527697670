#pragma once

// What a PulseAudio stream asks of its server, decided from what the server says of its sink.
//
// PulseAudio's own server takes a write over what it has queued (a seek back in the stream), so
// the queue can be long and cost no latency: a note that starts or ends renders the queue again,
// from a margin ahead of where the server reads (QueuedAudio). Only the sink's own share of the
// latency delays a key. How short that share may be is the sink's to tell:
//
//   sink                              its share                 rewrite margin
//   local, dynamic latency (a card,   one period (64 frames)    a period: the sink takes
//     the null sink)                                            that much at a time
//   network (a tunnel, RTP, AirPlay)  25 ms at least: the far   a quarter of that: the far
//                                     end runs dry unheard of   end asks for a quarter at a
//                                                               time, and cannot rewind
//   fixed latency (Bluetooth, a card  its own, which no stream  its own latency
//     without timer scheduling)       can change
//
// PipeWire's PulseAudio server does not take such a write: there the whole buffer is latency,
// and the server sizes the sink's share from it (PA_STREAM_ADJUST_LATENCY).

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "audio_core/buffer_policy.h"

namespace velune {

struct SinkFacts {
    unsigned rate = 0;
    bool dynamicLatency = false;  // the sink runs at the latency its streams ask for
    bool network = false;         // the sound goes on to another server or machine
    std::chrono::microseconds latency{0};  // what it runs at now
    bool pipewire = false;                 // the server is PipeWire's PulseAudio front end
    friend bool operator==(const SinkFacts&, const SinkFacts&) = default;
};

struct PulseRequest {
    // Bytes, as pa_buffer_attr has them.
    std::uint32_t tlength = 0;
    std::uint32_t minreq = 0;
    std::uint32_t prebuf = 0;
    bool adjustLatency = false;
    // A change renders the queue again, this far ahead of where the server reads.
    bool rewritable = false;
    std::size_t marginFrames = 0;
    friend bool operator==(const PulseRequest&, const PulseRequest&) = default;
};

// Where the buffer starts on `sink` unless it is pinned; `fallback` where the sink decides none.
BufferSetting startingBuffer(const SinkFacts& sink, const BufferSetting& fallback);
// What to ask for `setting` on `sink`, for frames of `frameBytes`.
PulseRequest requestFor(const BufferSetting& setting, const SinkFacts& sink,
                        std::size_t frameBytes);

}  // namespace velune
