// The PulseAudio output without a server: a buffer given from outside is taken only when it
// makes sense, and an unreachable server means no output rather than a hang.

#include "pulse_output.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace velune {
namespace {

TEST(AudioBuffer, OnlyASensibleBufferIsTaken) {
    const struct {
        const char* text;
        std::optional<ParsedBuffer> expected;
    } cases[] = {
        {"64x3", ParsedBuffer{64, 3}},
        {"128x2", ParsedBuffer{128, 2}},
        {"16x2", ParsedBuffer{16, 2}},
        {"24000x2", ParsedBuffer{24000, 2}},
        {"64x1", std::nullopt},  // one period cannot be played while it is written
        {"64x0", std::nullopt},
        {"8x3", std::nullopt},
        {"0x3", std::nullopt},
        {"24000x3", std::nullopt},  // longer than a second
        {"4294967296x2", std::nullopt},
        {"64", std::nullopt},
        {"x3", std::nullopt},
        {"64x", std::nullopt},
        {"64x3x2", std::nullopt},
        {"-64x3", std::nullopt},
        {"64 x3", std::nullopt},
        {"64X3", std::nullopt},
        {"", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        ParsedBuffer buffer{1, 1};
        const bool taken = parseBuffer(c.text, buffer);
        const std::string text = c.text != nullptr ? c.text : "(none)";
        ASSERT_EQ(taken, c.expected.has_value()) << text;
        if (c.expected) {
            EXPECT_EQ(buffer.periodFrames, c.expected->periodFrames) << text;
            EXPECT_EQ(buffer.periods, c.expected->periods) << text;
        } else {
            EXPECT_EQ(buffer.periodFrames, 1u) << text << ": a refused buffer must leave the old one";
        }
    }
}

TEST(AudioServer, AnUnreachableServerMeansNoOutput) {
    setenv("PULSE_SERVER", "unix:/nonexistent/velune/native", 1);
    EXPECT_EQ(PulseOutput::connect(), nullptr);
    EXPECT_EQ(PulseOutput::open(nullptr, AudioFormat{48000, 64, 3}), nullptr);
    unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace velune
