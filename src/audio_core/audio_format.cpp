#include "audio_core/audio_format.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/diagnostics.h"

namespace velune {
namespace {

constexpr std::uint64_t kShortestPeriod = 16;
constexpr std::uint64_t kLongestBuffer = 48000;

std::optional<std::uint64_t> number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<BufferSetting> parseBuffer(std::string_view text) {
    const std::size_t x = text.find('x');
    if (x == std::string_view::npos) return std::nullopt;
    const std::optional<std::uint64_t> frames = number(text.substr(0, x));
    const std::optional<std::uint64_t> periods = number(text.substr(x + 1));
    // Each bound is checked on its own before the product, so that no product can wrap.
    if (!frames || !periods || *frames < kShortestPeriod || *frames > kLongestBuffer ||
        *periods < 2 || *periods > kLongestBuffer || *frames * *periods > kLongestBuffer) {
        return std::nullopt;
    }
    return BufferSetting{static_cast<unsigned>(*frames), static_cast<unsigned>(*periods)};
}

AudioFormat audioFormatFromEnvironment() {
    AudioFormat format;
    const char* text = std::getenv("VELUNE_AUDIO_BUFFER");
    if (text == nullptr) return format;
    if (const std::optional<BufferSetting> pinned = parseBuffer(text)) {
        format.periodFrames = pinned->periodFrames;
        format.periods = pinned->periods;
        format.pinned = true;
    } else {
        logMessage(LogArea::Audio, LogLevel::Warning,
                   std::string("ignored VELUNE_AUDIO_BUFFER=") + text + ", using adaptive " +
                       toString(format.buffer()));
    }
    return format;
}

}  // namespace velune
