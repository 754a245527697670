#pragma once

// Everything that decides how long a key takes to sound, in one place, and the setting a user
// may pin it with.

#include <chrono>
#include <optional>
#include <string_view>

#include "audio_core/buffer_policy.h"
#include "audio_core/rest_watch.h"

namespace velune {

struct AudioFormat {
    unsigned sampleRate = 0;  // 0: the rate of the audio server's default output
    // Where the buffer starts where the queue cannot be rendered again (PipeWire): three periods
    // of 128 frames, 7.7 ms at 50 kHz, the shortest that plays clean on a quiet two-core
    // machine. A busy machine drops out now and then, and the buffer grows at the first dropout
    // (BufferPolicy). PulseAudio's own server starts where its sink allows (pulse_request.h),
    // unless the buffer is pinned.
    unsigned periodFrames = 128;
    unsigned periods = 3;
    // The user chose this buffer: it does not adapt.
    bool pinned = false;

    // How long the output plays on without a message before it comes to rest (RestWatch).
    std::chrono::milliseconds restAfter = RestWatch::kQuietStretch;

    BufferSetting buffer() const { return {periodFrames, periods}; }
};

inline constexpr unsigned kFallbackSampleRate = 48000;
inline constexpr unsigned kChannels = 2;
// The period of an output whose buffer cannot adapt (ALSA): three of them stay clean on a
// two-core machine whose other core is busy.
inline constexpr unsigned kSteadyPeriodFrames = 128;
// What one callback of an output renders at most, whatever the buffer: a ceiling on the work
// the real-time thread does at a time.
inline constexpr unsigned kRenderCeiling = 1024;

// "<frames>x<periods>", e.g. "128x3": 16 frames a period or more, two periods or more, and a
// second at 48 kHz at most. Nothing for text that is not one.
std::optional<BufferSetting> parseBuffer(std::string_view text);

// The format of the environment: VELUNE_AUDIO_BUFFER="<frames>x<periods>" pins the buffer, for
// a machine where the adaptive one drops out (or to measure another). A value that is not one is
// logged as ignored. Read once, before other threads run.
AudioFormat audioFormatFromEnvironment();

}  // namespace velune
