#pragma once

// Listening to a recording of the program: where notes start, which note each one is, where it
// falls silent, and whether two notes share a timbre. Mono float samples; every position is a
// sample index into the span given.
//
// A note is judged on its attack: piano tails ring for a second, so the window starts just after
// the onset and stays short, before the previous note's partials can win again.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace velune::e2e {

inline constexpr int kSampleRate = 50000;

// Lowest and highest note that the pitch estimate reports.
inline constexpr int kLowestNote = 36;
inline constexpr int kHighestNote = 96;

double rms(std::span<const float> samples);

// Quieter than this RMS (-66 dBFS; a note at velocity 100 plays at about -40) is silence.
inline constexpr double kSilenceRms = 5e-4;
bool isSilent(std::span<const float> samples);

// Sample positions where a note starts: a large share of the spectrum is new, compared with the
// loudest each frequency was over the moment before (silence, or the previous note still
// ringing). Reliable after silence and for struck or plucked notes, legato too; a bowed or blown
// legato line may hide its onsets in the slow attack. Dropouts do not count as notes.
std::vector<std::size_t> detectOnsets(std::span<const float> samples, int rate = kSampleRate);

// Stretches of exact digital silence between sound, too short to be a rest: the audio output ran
// dry for a moment and the audio server played silence until it caught up. Nothing of the
// program's sound is lost, only delayed, so cutting the stretches out gives back its sound as it
// was made. Silence that runs from sound to the end of the samples counts too: it may be a
// dropout still going on. Half-open sample ranges.
struct Dropout {
    std::size_t begin;
    std::size_t end;
};
std::vector<Dropout> findDropouts(std::span<const float> samples, int rate = kSampleRate);

struct Spliced {
    std::vector<float> samples;  // the sound with the dropouts cut out
    std::vector<Dropout> dropouts;
    // Where a sample of the spliced sound lies in the original.
    std::size_t originalIndex(std::size_t index) const;
};
Spliced removeDropouts(std::span<const float> samples, int rate = kSampleRate);

// The onset detection function behind detectOnsets() (which first removes the dropouts): for
// every 5 ms step, the share of the spectrum that is new, 0 to 1.
std::vector<double> onsetStrength(std::span<const float> samples, int rate = kSampleRate);

// The pitch of the note starting at `onset`, as a fractional MIDI number (69 = 440 Hz), from
// a harmonic sum over the note's attack; nothing when the window holds no tone.
std::optional<double> estimatePitch(std::span<const float> samples, std::size_t onset,
                                    int rate = kSampleRate);

// The nearest MIDI note to estimatePitch().
std::optional<int> notePitch(std::span<const float> samples, std::size_t onset,
                             int rate = kSampleRate);

struct HeardNote {
    std::size_t onset;
    std::optional<int> midi;
};

// Every note in the samples, in order, heard in the spliced sound.
std::vector<HeardNote> transcribe(std::span<const float> samples, int rate = kSampleRate);

// The levels of the first harmonics of a note of known pitch over [begin, begin + length), in dB
// relative to the strongest of them: a fingerprint of the instrument.
inline constexpr int kProfileHarmonics = 8;
using HarmonicProfile = std::array<double, kProfileHarmonics>;
HarmonicProfile harmonicProfile(std::span<const float> samples, std::size_t begin,
                                std::size_t length, int midi, int rate = kSampleRate);

// Mean absolute difference of two profiles, in dB. Two renderings of one note on one program
// stay within kSameTimbreDb of each other.
double profileDistance(const HarmonicProfile& a, const HarmonicProfile& b);
inline constexpr double kSameTimbreDb = 2.0;

// The spectral centroid of [begin, begin + length) in Hz.
double spectralCentroid(std::span<const float> samples, std::size_t begin, std::size_t length,
                        int rate = kSampleRate);

// Magnitude spectrum of a Hann-windowed stretch, zero-padded to `fftSize` (a power of two).
std::vector<double> magnitudeSpectrum(std::span<const float> samples, std::size_t begin,
                                      std::size_t length, std::size_t fftSize);

double midiToHz(double midi);
double hzToMidi(double hz);

}  // namespace velune::e2e
