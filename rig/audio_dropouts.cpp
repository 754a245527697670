// The audio output's dropouts: where the recording holds exact digital silence between sound,
// and the sound with them cut out, which the ears listen to.

#include <algorithm>
#include <cmath>

#include "audio_analysis.h"

namespace velune::rig {
namespace {

// A dropout of the audio output: exact digital silence between sound, 0.5 ms or more, or as
// short as three samples where the sound jumps at its end, out of the silence to a sound level
// (a quiet stretch at 16-bit resolution holds runs of exact zeros too, but the sound creeps out
// of them, a step or two at a time).
constexpr std::size_t kShortestDropout = kSampleRate / 2000;
constexpr std::size_t kShortestJumpingDropout = 3;
constexpr double kJump = 4;  // times the mean step between samples before it
constexpr std::size_t kLongestDropout = kSampleRate * 15 / 100;
constexpr std::size_t kDropoutContext = kSampleRate / 100;
constexpr double kSoundRms = 3e-4;

}  // namespace

double rms(std::span<const float> samples) {
    if (samples.empty()) return 0;
    double sum = 0;
    for (float s : samples) sum += double{s} * s;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

bool isSilent(std::span<const float> samples) { return rms(samples) < kSilenceRms; }

namespace {

double meanStep(std::span<const float> samples) {
    double sum = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) sum += std::abs(samples[i] - samples[i - 1]);
    return sum / static_cast<double>(std::max<std::size_t>(samples.size() - 1, 1));
}

}  // namespace

std::vector<Dropout> findDropouts(std::span<const float> samples) {
    std::vector<Dropout> dropouts;
    std::size_t i = 0;
    while (i < samples.size()) {
        if (samples[i] != 0.0f) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < samples.size() && samples[end] == 0.0f) ++end;
        const bool soundBefore =
            i >= kDropoutContext &&
            rms(samples.subspan(i - kDropoutContext, kDropoutContext)) >= kSoundRms;
        const bool trailing = end == samples.size();
        const bool soundAfter =
            !trailing &&
            rms(samples.subspan(end, std::min(kDropoutContext, samples.size() - end))) >= kSoundRms;
        const bool dry =
            end - i >= kShortestDropout ||
            (end - i >= kShortestJumpingDropout && soundBefore && soundAfter &&
             std::abs(samples[end]) >= kSoundRms &&
             std::abs(samples[end]) >
                 kJump * meanStep(samples.subspan(i - kDropoutContext, kDropoutContext)));
        if (dry && soundBefore && (trailing || (end - i <= kLongestDropout && soundAfter))) {
            dropouts.push_back({i, end});
        }
        i = end;
    }
    return dropouts;
}

Spliced removeDropouts(std::span<const float> samples) {
    Spliced spliced;
    spliced.dropouts = findDropouts(samples);
    std::size_t from = 0;
    for (const Dropout& dropout : spliced.dropouts) {
        spliced.samples.insert(spliced.samples.end(),
                               samples.begin() + static_cast<std::ptrdiff_t>(from),
                               samples.begin() + static_cast<std::ptrdiff_t>(dropout.begin));
        from = dropout.end;
    }
    spliced.samples.insert(spliced.samples.end(),
                           samples.begin() + static_cast<std::ptrdiff_t>(from), samples.end());
    return spliced;
}

std::size_t Spliced::originalIndex(std::size_t index) const {
    for (const Dropout& dropout : dropouts) {
        if (dropout.begin > index) break;
        index += dropout.end - dropout.begin;
    }
    return index;
}

}  // namespace velune::rig
