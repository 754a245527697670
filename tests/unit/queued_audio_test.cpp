// What a note that starts may render again of the sound queued at the server: never what the
// sink may already have taken, and the join faded from the old sound to the new.

#include "queued_audio.h"

#include <gtest/gtest.h>

#include <vector>

namespace velune {
namespace {

using std::chrono::microseconds;
constexpr unsigned kRate = 50000;  // 50 frames a millisecond
constexpr std::size_t kFade = QueuedAudio::kFadeFrames;

// `frames` stereo frames, each sample `value`.
std::vector<float> frames(std::size_t count, float value) {
    return std::vector<float>(count * QueuedAudio::kChannels, value);
}

TEST(QueuedAudio, RendersAgainOnlyWhatTheSinkCannotHaveTaken) {
    const QueuedAudio::TimePoint request{std::chrono::seconds(10)};
    const struct {
        const char* name;
        std::size_t written;  // frames written since the queue was last dropped
        std::size_t target;   // the queue once the request is met
        microseconds since;   // from the request
        std::size_t ahead;
        std::size_t expected;
    } cases[] = {
        {"just after the request: all but what stays ahead", 1000, 320, microseconds(0), 64, 256},
        {"the sink takes at most the rate", 1000, 320, microseconds(1000), 64, 206},
        {"a clock that reads before the request takes nothing", 1000, 320, microseconds(-500), 64,
         256},
        {"no more than was written since the queue was dropped", 100, 320, microseconds(0), 64,
         100},
        {"too few frames to fade over", 1000, 320, microseconds(4500), 64, 0},
        {"just enough to fade over", 1000, 320, microseconds(4480), 64, kFade},
        {"the queue ran out", 1000, 320, microseconds(20000), 64, 0},
        {"the longest buffer, within what is remembered", 8000, 1536, microseconds(0), 256, 1280},
    };
    for (const auto& c : cases) {
        QueuedAudio queued(4096);
        queued.written(frames(c.written, 0.5f));
        queued.requested(request, c.target);
        EXPECT_EQ(queued.replaceable(request + c.since, kRate, c.ahead), c.expected) << c.name;
    }
    QueuedAudio dropped(4096);
    dropped.written(frames(1000, 0.5f));
    dropped.requested(request, 320);
    dropped.dropped();
    EXPECT_EQ(dropped.replaceable(request, kRate, 64), 0u) << "a dropped queue holds nothing";
}

TEST(QueuedAudio, FadesFromTheQueuedSoundToTheNew) {
    QueuedAudio queued(256);  // small, so that the frames written wrap around
    const QueuedAudio::TimePoint now{};
    std::vector<float> old = frames(300, 0.0f);
    for (std::size_t frame = 0; frame < 300; ++frame) {
        old[2 * frame] = old[2 * frame + 1] = static_cast<float>(frame);  // each frame its index
    }
    queued.written(old);
    queued.requested(now, 200);

    std::vector<float> fresh = frames(100, 1000.0f);
    queued.replace(fresh);
    // The first frames mix the frames replaced (200, 201, ...) into the new sound, less each
    // frame; after them, the new sound alone.
    for (std::size_t frame = 0; frame < 100; ++frame) {
        const float weight = frame < kFade ? static_cast<float>(frame + 1) / (kFade + 1) : 1.0f;
        const float expected = weight * 1000.0f + (1 - weight) * static_cast<float>(200 + frame);
        EXPECT_FLOAT_EQ(fresh[2 * frame], expected) << "frame " << frame;
        EXPECT_FLOAT_EQ(fresh[2 * frame + 1], expected) << "frame " << frame;
    }

    // Rendered again a second time, the join fades from what the first rewrite put there.
    std::vector<float> again = frames(50, 0.0f);
    queued.replace(again);
    EXPECT_FLOAT_EQ(again[0], (1 - 1.0f / (kFade + 1)) * 1000.0f);
    queued.requested(now, 1000);
    EXPECT_EQ(queued.replaceable(now, kRate, 0), 256u) << "what was rendered again stays queued";
}

}  // namespace
}  // namespace velune
