#pragma once

// What an audio output plays: something that renders stereo frames when the output asks for
// them, on the output's real-time thread, and takes the MIDI messages that change what it
// renders on that same thread. The synthesizer is one; the tests use a tone.

#include <cstddef>
#include <cstdint>

namespace velune {

class RenderSource {
  public:
    virtual ~RenderSource() = default;
    // Renders `frames` stereo frames, interleaved, into `data`. Called from one thread at a
    // time: the output's real-time one.
    virtual void render(float* data, std::size_t frames) = 0;
    // Takes one packed short message (status, data1 << 8, data2 << 16), checked by the sender;
    // the next render sounds it. Called from the thread that renders.
    virtual void play(std::uint32_t message) = 0;
    // From now on renders at `rate` (the device plays at another one). Not while rendering.
    virtual void setRate(unsigned rate) = 0;
};

}  // namespace velune
