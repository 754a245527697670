#pragma once

// What a playback stream has handed to the server, frame by frame, so that a note that starts or
// ends can take the place of what is queued instead of waiting behind it:
//
//   stream:  ...played | read | margin | queued at the server ................| end
//   a change:                 | rendered again, with the change in it        |
//
// Where the server reads is the server's to say (its timing info); this remembers what was
// written where, tells which span a change may take, and fades from the old sound to the new at
// the join, so that it does not click. The synthesizer does not go back in time: what is
// rendered again continues from where it had got to, a few milliseconds on.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velune {

class QueuedAudio {
  public:
    static constexpr std::size_t kChannels = 2;
    static constexpr std::size_t kFadeFrames = 32;
    // The first step of a rewrite is short: the note's head reaches the server sooner, and a
    // change right behind this one (a key's note-on right after its note-off) continues the
    // source from not far on, rather than a whole step further. But the seek back leaves the
    // server's write index only the margin and the first step ahead of where it reads, and a
    // server that reads past its write index plays silence until it has a period again: the
    // first step alone must ride out a busy moment of the program's thread or of the server's
    // main thread, which takes the next write in. At 128 frames (2.6 ms at 50 kHz) short stalls
    // of a busy machine left 1-2 ms holes; 256 frames take 20 us longer to render. Each step
    // after is at most twice the one before (a 2 ms hole when a 1024-frame second step came
    // late).
    static constexpr std::size_t kFirstStepFrames = 256;

    struct Span {
        std::int64_t from;
        std::int64_t to;
        friend bool operator==(const Span&, const Span&) = default;
    };

    // Remembers up to `capacity` frames: more than the longest queue.
    explicit QueuedAudio(std::size_t capacity);

    // The frame index the next frame written goes to (the stream's write index, in frames).
    std::int64_t end() const { return end_; }
    // What a change may render again when the server reads at `read`: from `margin` frames ahead
    // of it (the time the new sound takes to reach the server) to the end of the queue, but no
    // more than `longest` frames past `read` (the queue it should have), and only what is
    // remembered. Nothing when too few frames are left to fade over.
    std::optional<Span> replaceable(std::int64_t read, std::size_t margin,
                                    std::size_t longest) const;

    // A note to carry into the queue, the server reading at `read`: the replaceable() span is
    // rendered again, a step at a time. False when there is nothing to render again.
    bool beginRewrite(std::int64_t read, std::size_t margin, std::size_t longest);
    bool rewriting() const { return rewrite_.has_value(); }
    void cancelRewrite() { rewrite_.reset(); }
    // How many frames the next step of the rewrite renders: up to `ceiling`, kFirstStepFrames at
    // the first, and twice the last step after it.
    std::size_t nextRewrite(std::size_t ceiling) const;
    // Takes `fresh`, rendered for the next step, in place of what is queued there (faded in over
    // it at the first step), and returns where it goes: frames from the stream's write index (a
    // seek back at the first step, none after).
    std::int64_t rewritten(std::span<float> fresh);

    // Stereo frames, interleaved, written at end().
    void written(std::span<const float> samples);
    // Fades the first frames of `fresh`, to be written at `position`, in from the frames there.
    void fadeIn(std::int64_t position, std::span<float> fresh) const;
    // The server numbers the frames `by` further on than before (it dropped its queue).
    void renumber(std::int64_t by);

  private:
    // The next frames are written at `position` instead, in place of those there.
    void rewind(std::int64_t position);
    // Where `frame` lies in the ring.
    std::size_t slot(std::int64_t frame) const;

    std::vector<float> ring_;
    std::size_t capacity_;
    std::int64_t end_ = 0;
    std::int64_t oldest_ = 0;  // the first frame still remembered
    std::int64_t base_ = 0;    // where frame 0 of the ring lies
    struct Rewrite {
        std::int64_t cursor;  // the next frame to render again
        std::int64_t to;
        bool first;  // fades in from the sound queued there
        std::size_t lastStep = 0;
    };
    std::optional<Rewrite> rewrite_;
};

}  // namespace velune
