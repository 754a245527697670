// What a note that starts or ends renders again of the sound queued at the server, counted in
// frames against a server's queue played out frame by frame: the change sounds a margin after
// where the server reads, never behind the queue, never in what the server has already read,
// and the join fades from the old sound to the new.

#include "audio_core/queued_audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace velune {
namespace {

constexpr std::size_t kFade = QueuedAudio::kFadeFrames;

// `count` stereo frames, each sample `value`.
std::vector<float> frames(std::size_t count, float value) {
    return std::vector<float>(count * QueuedAudio::kChannels, value);
}

TEST(QueuedAudio, RendersAgainFromAMarginAheadOfWhereTheServerReads) {
    const struct {
        const char* name;
        std::int64_t written;  // frames written so far
        std::int64_t read;     // where the server reads
        std::size_t margin;
        std::size_t longest;
        std::optional<QueuedAudio::Span> expected;
    } cases[] = {
        {"the queue beyond the margin", 1000, 600, 64, 2000, QueuedAudio::Span{664, 1000}},
        {"no further than the queue it should hold", 1000, 600, 64, 300,
         QueuedAudio::Span{664, 900}},
        {"too few frames to fade over", 1000, 950, 30, 2000, std::nullopt},
        {"just enough to fade over", 1000, 900, 100 - kFade, 2000,
         QueuedAudio::Span{1000 - kFade, 1000}},
        {"the server read everything", 1000, 1000, 0, 2000, std::nullopt},
        {"only what is still remembered", 20000, 1000, 64, 30000, QueuedAudio::Span{3616, 20000}},
    };
    for (const auto& c : cases) {
        QueuedAudio queued(16384);
        queued.written(frames(static_cast<std::size_t>(c.written), 0.5f));
        EXPECT_EQ(queued.replaceable(c.read, c.margin, c.longest), c.expected) << c.name;
    }
}

// A server's queue: frames land where the stream's write index, moved by each seek, says.
struct ServerQueue {
    std::vector<float> frames;  // one sample a frame (the left channel)
    std::int64_t writeIndex = 0;
    void write(std::span<const float> samples, std::int64_t seek) {
        writeIndex += seek;
        for (std::size_t i = 0; i < samples.size() / 2; ++i) {
            const auto at = static_cast<std::size_t>(writeIndex) + i;
            if (frames.size() <= at) frames.resize(at + 1);
            frames[at] = samples[2 * i];
        }
        writeIndex += static_cast<std::int64_t>(samples.size() / 2);
    }
};

TEST(QueuedAudio, ANoteSoundsAtTheHeadOfTheQueueNotBehindIt) {
    constexpr float kOld = 1.0f, kNew = 2.0f;
    constexpr std::size_t kQueue = 3000, kCeiling = 1024, kMargin = 62;
    constexpr std::int64_t kRead = 500;  // the server has read this far when the note starts
    QueuedAudio queued(16384);
    ServerQueue server;
    const std::vector<float> old = frames(kQueue, kOld);
    queued.written(old);
    server.write(old, 0);

    ASSERT_TRUE(queued.beginRewrite(kRead, kMargin, kQueue));
    std::vector<std::size_t> steps;
    while (queued.rewriting()) {
        const std::size_t count = queued.nextRewrite(kCeiling);
        ASSERT_LE(count, kCeiling) << "one step renders no more than the ceiling";
        std::vector<float> fresh = frames(count, kNew);
        const std::int64_t seek = queued.rewritten(fresh);
        server.write(fresh, seek);
        steps.push_back(count);
    }
    // A short first step: the head sooner at the server, and a change right behind this one
    // continues the source from not far on. Then steps that double, so that the write index,
    // moved back to just ahead of where the server reads, gets ahead again before it reads past.
    const std::size_t span = kQueue - kRead - kMargin;
    EXPECT_EQ(steps, (std::vector<std::size_t>{256, 512, 1024, span - 1792}));
    EXPECT_EQ(server.writeIndex, static_cast<std::int64_t>(kQueue)) << "the queue keeps its length";
    EXPECT_EQ(queued.end(), server.writeIndex) << "both count the frames alike";
    const auto head = static_cast<std::size_t>(kRead) + kMargin;
    const auto firstNew =
        std::find_if(server.frames.begin(), server.frames.end(), [](float f) { return f > kOld; }) -
        server.frames.begin();
    EXPECT_EQ(static_cast<std::size_t>(firstNew), head)
        << "the note sounds a margin after the read index, not after the queue";
    for (std::size_t i = 0; i < head; ++i) ASSERT_EQ(server.frames[i], kOld) << "frame " << i;
    for (std::size_t i = head + kFade; i < kQueue; ++i)
        ASSERT_EQ(server.frames[i], kNew) << "frame " << i;
    for (std::size_t i = head; i + 1 < head + kFade; ++i)
        EXPECT_LT(server.frames[i], server.frames[i + 1]) << "the join fades in at frame " << i;

    // Fresh frames follow the rewrite where it ended.
    const std::vector<float> more = frames(100, kNew);
    queued.written(more);
    server.write(more, 0);
    EXPECT_EQ(queued.end(), server.writeIndex);
}

TEST(QueuedAudio, FadesFromTheQueuedSoundToTheNew) {
    QueuedAudio queued(256);  // small, so that the frames written wrap around
    std::vector<float> old = frames(300, 0.0f);
    for (std::size_t frame = 0; frame < 300; ++frame) {
        old[2 * frame] = old[2 * frame + 1] = static_cast<float>(frame);  // each frame its index
    }
    queued.written(old);
    std::vector<float> fresh = frames(100, 1000.0f);
    queued.fadeIn(200, fresh);
    // The first frames mix the frames replaced (200, 201, ...) into the new sound, less each
    // frame; after them, the new sound alone.
    for (std::size_t frame = 0; frame < 100; ++frame) {
        const float weight = frame < kFade ? static_cast<float>(frame + 1) / (kFade + 1) : 1.0f;
        const float expected = weight * 1000.0f + (1 - weight) * static_cast<float>(200 + frame);
        EXPECT_FLOAT_EQ(fresh[2 * frame], expected) << "frame " << frame;
        EXPECT_FLOAT_EQ(fresh[2 * frame + 1], expected) << "frame " << frame;
    }
    // After the server dropped its queue and counts from elsewhere, the same frames are found
    // under their new numbers.
    queued.renumber(1000);
    std::vector<float> again = frames(1, 0.0f);
    queued.fadeIn(1250, again);
    EXPECT_FLOAT_EQ(again[0], (1 - 1.0f / (kFade + 1)) * 250.0f);
}

}  // namespace
}  // namespace velune
