#pragma once

// Renders for an audio output and tells when the output has come to rest: no message for
// kQuietStretch (unless told otherwise), and the sound (reverb tails included) below -120 dBFS
// for a tenth of a second.
// An output at rest pauses its stream (or slows it), so that neither the server nor the
// synthesizer wakes up hundreds of times a second for silence; the next message wakes it.
//
// message() may be called from any thread; the rest from the thread that renders.

#include <atomic>
#include <chrono>
#include <cstddef>

namespace velune {

class RenderSource;

class RestWatch {
  public:
    // Longer than a pause between two phrases: the first note after a rest waits for the stream
    // to start again, and may sound a little later than the notes of a phrase.
    static constexpr std::chrono::milliseconds kQuietStretch{10000};

    explicit RestWatch(std::chrono::milliseconds quietStretch = kQuietStretch)
        : quietStretch_(quietStretch) {}

    // A message is about to reach the synthesizer.
    void message() { messages_.fetch_add(1, std::memory_order_acq_rel); }
    // Renders `frames` stereo frames of `source` into `data`, interleaved, at `rate`; true when
    // the output is at rest.
    bool render(RenderSource& source, float* data, std::size_t frames, unsigned rate);
    // Counts what was rendered up to now as sound again (the stream paused, the queue dropped).
    void forgetQuiet() { quietFrames_ = 0; }

    // How many frames in a row were silent, up to the last render.
    std::size_t quietFrames() const { return quietFrames_; }
    // Which messages the last render had seen (a count that only grows).
    unsigned seen() const { return seen_; }
    // Whether a message has come after the ones seen.
    bool messagedSince(unsigned seen) const {
        return messages_.load(std::memory_order_acquire) != seen;
    }

  private:
    std::chrono::milliseconds quietStretch_;
    std::atomic<unsigned> messages_{0};
    unsigned seen_ = 0;
    std::size_t framesSinceMessage_ = 0;
    std::size_t quietFrames_ = 0;
};

}  // namespace velune
