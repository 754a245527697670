// The buffer a user may pin: taken only when it makes sense, and told as ignored otherwise.

#include "audio_core/audio_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "captured_log.h"

namespace velune {
namespace {

TEST(AudioFormat, OnlyASensibleBufferIsTaken) {
    const struct {
        const char* text;
        std::optional<BufferSetting> expected;
    } cases[] = {
        {"64x3", BufferSetting{64, 3}},
        {"128x2", BufferSetting{128, 2}},
        {"16x2", BufferSetting{16, 2}},
        {"24000x2", BufferSetting{24000, 2}},
        {"64x1", std::nullopt},  // one period cannot be played while it is written
        {"64x0", std::nullopt},
        {"8x3", std::nullopt},
        {"0x3", std::nullopt},
        {"24000x3", std::nullopt},  // longer than a second
        {"65536x65536", std::nullopt},  // 2^32 frames: a product that wraps to 0
        {"4294967296x2", std::nullopt},
        {"2x4294967296", std::nullopt},
        {"99999999999999999999x2", std::nullopt},
        {"64", std::nullopt},
        {"x3", std::nullopt},
        {"64x", std::nullopt},
        {"64x3x2", std::nullopt},
        {"-64x3", std::nullopt},
        {"64 x3", std::nullopt},
        {"64X3", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parseBuffer(c.text), c.expected) << c.text;
}

TEST(AudioFormat, OnlyASensibleChosenBufferIsPinnedAndAnotherIsToldAsIgnored) {
    const struct {
        const char* text;
        AudioFormat expected;
        const char* warning;
    } cases[] = {
        {nullptr, {0, 128, 3, false}, nullptr},
        {"256x3", {0, 256, 3, true}, nullptr},
        {"abc", {0, 128, 3, false}, "ignored VELUNE_AUDIO_BUFFER=abc, using adaptive 128x3"},
        {"64x1", {0, 128, 3, false}, "ignored VELUNE_AUDIO_BUFFER=64x1, using adaptive 128x3"},
        {"", {0, 128, 3, false}, "ignored VELUNE_AUDIO_BUFFER=, using adaptive 128x3"},
    };
    for (const auto& c : cases) {
        const testing::CapturedLog log;
        if (c.text != nullptr) {
            setenv("VELUNE_AUDIO_BUFFER", c.text, 1);
        } else {
            unsetenv("VELUNE_AUDIO_BUFFER");
        }
        const AudioFormat format = audioFormatFromEnvironment();
        const std::string name = c.text != nullptr ? c.text : "(none)";
        EXPECT_EQ(format.buffer(), c.expected.buffer()) << name;
        EXPECT_EQ(format.pinned, c.expected.pinned) << name;
        EXPECT_EQ(log.all(), c.warning ? std::string("velune.audio: ") + c.warning + "\n" : "")
            << name;
    }
    unsetenv("VELUNE_AUDIO_BUFFER");
}

}  // namespace
}  // namespace velune
