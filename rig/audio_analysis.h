#pragma once

// Listening to a recording: where notes start, which note each one is, where the sound runs dry
// for a moment, where exactly a note starts after a key, and a fingerprint of the instrument.
// Onsets, pitch and the spectra behind the fingerprint come from aubio; this file only adapts them
// to mono float recordings, and cuts out the audio output's dropouts first. Every position is a
// sample index into the span given.

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velune::rig {

// The null sink's rate: at 50 kHz it keeps time with the monotonic clock.
inline constexpr int kSampleRate = 50000;

constexpr std::size_t samplesOf(std::chrono::nanoseconds duration) {
    return static_cast<std::size_t>(duration.count() * kSampleRate / 1'000'000'000);
}

double rms(std::span<const float> samples);
// Quieter than -66 dBFS (a note at velocity 100 plays at about -40) is silence.
inline constexpr double kSilenceRms = 5e-4;
bool isSilent(std::span<const float> samples);

// Stretches of exact digital silence between sound, up to 150 ms long: the audio output ran dry
// and the server played silence until it caught up, often skipping what should have sounded
// meanwhile. Silence running from sound to the end of the samples counts too: it may be a
// dropout still going on.
struct Dropout {
    std::size_t begin;
    std::size_t end;
};
std::vector<Dropout> findDropouts(std::span<const float> samples);

struct Spliced {
    std::vector<float> samples;  // the sound with the dropouts cut out
    std::vector<Dropout> dropouts;
    // Where a sample of the spliced sound lies in the original.
    std::size_t originalIndex(std::size_t index) const;
};
Spliced removeDropouts(std::span<const float> samples);

struct HeardNote {
    std::size_t onset;
    std::optional<int> midi;  // nothing when the attack holds no clear pitch
};

// Every note in the samples, in order: aubio's onsets and, over each attack, its pitch, heard
// in the spliced sound and placed back in the original.
std::vector<HeardNote> transcribe(std::span<const float> samples);
// " 60@0.2 ?@0.75": each note's pitch (? when unclear) and start in seconds, for a message.
std::string describe(const std::vector<HeardNote>& heard);

// Where exactly a note starts after sample `key` (the benchmark's key-to-sound latency): once it
// has risen 12 dB above the loudest of what sounded before the key (a tail of the note before, or
// silence) to -60 dBFS or more, the first sample where it rose out of what sounded just before.
// Within 0.2 ms of its first sample after silence, 0.7 ms after a tail faded 30 dB. Nothing when
// no note starts.
std::optional<std::size_t> noteStart(std::span<const float> sound, std::size_t key);

// The mean of aubio's mel-frequency cepstral coefficients over a stretch, loudness (the first)
// left out: notes of one instrument lie close together, other instruments further off.
inline constexpr std::size_t kTimbreCoefficients = 12;
using Timbre = std::array<double, kTimbreCoefficients>;
Timbre timbreOf(std::span<const float> samples);
double timbreDistance(const Timbre& a, const Timbre& b);

}  // namespace velune::rig
