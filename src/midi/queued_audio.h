#pragma once

// What a playback stream has handed to the server and the server has not played yet, so that a
// note that starts can take its place instead of waiting behind it:
//
//   written:  ...played | queued at the server ........................| write end
//   note on:            | kept: plays first | rendered again, with the note |
//
// The server asks for more each time its sink has taken some, and once a request is met the
// queue is back at its target length; from then on the sink takes it at most as fast as the
// sample rate. So `target - rate * (time since the request)` frames are still queued, at least,
// and of those all but the ones kept ahead (enough for the new sound to reach the server before
// the sink takes it) can be rendered again.
//
// The synthesizer does not go back in time: what is rendered again continues from where it had
// got to, a few milliseconds on. The sound it replaces is faded out under it over the first
// kFadeFrames, so that the join does not click.

#include <chrono>
#include <cstddef>
#include <span>
#include <vector>

namespace velune {

class QueuedAudio {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::size_t kChannels = 2;
    static constexpr std::size_t kFadeFrames = 32;

    // Remembers up to `capacity` frames: more than the longest queue.
    explicit QueuedAudio(std::size_t capacity);

    // The server asked for more at `now`; met, the request fills its queue to `target` frames.
    void requested(TimePoint now, std::size_t target);
    // Stereo frames, interleaved, just written after the others.
    void written(std::span<const float> samples);
    // The server dropped its queue: nothing written before can be replaced.
    void dropped();

    // How many of the frames written last can still be rendered again at `now`, played at
    // `rate`, keeping `ahead` frames queued before them; 0 when too few to fade over.
    std::size_t replaceable(TimePoint now, unsigned rate, std::size_t ahead) const;
    // `fresh` takes the place of as many frames written last: faded in over them, and
    // remembered instead of them.
    void replace(std::span<float> fresh);

  private:
    float& at(std::size_t framesBack, std::size_t channel);

    std::vector<float> ring_;
    std::size_t capacity_;
    std::size_t end_ = 0;         // where the next frame goes
    std::size_t remembered_ = 0;  // frames before end_ that are still queued, at most
    TimePoint request_{};
    std::size_t target_ = 0;
};

}  // namespace velune
