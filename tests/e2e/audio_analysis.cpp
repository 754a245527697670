#include "audio_analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace velune::e2e {
namespace {

// Onsets: the spectrum of 2048 samples (41 ms) every 5 ms, square-rooted. The onset strength of
// a frame is the share of it that rises above the loudest that each frequency was in the 20 to
// 170 ms before: near 1 after silence, large when a new pitch brings new partials (even over a
// ringing piano), near 0 while a note sounds on or decays. A note starts where the strength
// crosses kOnsetShare; it must fall below kRearmShare before the next one counts, which keeps
// a slow attack (a flute's breath, then its tone) to one onset.
constexpr std::size_t kFluxWindow = 2048;
constexpr double kFluxHopSeconds = 0.005;
constexpr std::size_t kFluxGapFrames = 4;
constexpr std::size_t kFluxLookbackFrames = 34;
constexpr double kOnsetShare = 0.15;
constexpr double kRearmShare = 0.05;
constexpr double kMaxFluxHz = 10000;
constexpr double kOnsetFloor = 3e-4;  // RMS, about -70 dBFS
constexpr double kRefractorySeconds = 0.08;

// A dropout of the audio output: exact digital silence, 0.5 to 150 ms long, between sound.
constexpr double kShortestDropoutSeconds = 0.0005;
constexpr double kLongestDropoutSeconds = 0.15;
constexpr double kDropoutContextSeconds = 0.01;

// Pitch: the spectrum of the ~160 ms after the onset, less what already sounded in the same
// span before it (the previous note's partials), then a harmonic sum.
constexpr double kAttackDelaySeconds = 0.004;
constexpr std::size_t kPitchWindow = 8192;
constexpr std::size_t kPitchFft = 32768;
constexpr int kMaxHarmonics = 10;
constexpr double kMaxPartialHz = 8000;
constexpr double kCandidateStep = 0.05;  // semitones
constexpr double kHalfHarmonicPenalty = 0.5;
constexpr double kPartialTolerance = 0.012;

void fft(std::vector<std::complex<double>>& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = -2 * std::numbers::pi / static_cast<double>(len);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w(1);
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = a[i + k];
                const std::complex<double> v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
                w *= step;
            }
        }
    }
}

// The largest magnitude within a relative tolerance around `hz`.
double peakNear(const std::vector<double>& spectrum, double binHz, double hz, double tolerance) {
    const double spread = std::max(binHz, hz * tolerance);
    const auto low = static_cast<std::ptrdiff_t>(std::floor((hz - spread) / binHz));
    const auto high = static_cast<std::ptrdiff_t>(std::ceil((hz + spread) / binHz));
    double best = 0;
    for (std::ptrdiff_t bin = std::max<std::ptrdiff_t>(low, 1);
         bin <= high && bin < static_cast<std::ptrdiff_t>(spectrum.size()); ++bin) {
        best = std::max(best, spectrum[static_cast<std::size_t>(bin)]);
    }
    return best;
}

// How well the partials of the spectrum line up with the harmonics of `f0`. Weights fall with
// the harmonic number, so a sub-octave (which meets only every other partial) scores lower;
// partials halfway between the harmonics count against it, so an octave above scores lower.
double harmonicScore(const std::vector<double>& compressed, double binHz, double f0) {
    const int harmonics = std::min(kMaxHarmonics, static_cast<int>(kMaxPartialHz / f0));
    double score = 0;
    for (int h = 1; h <= harmonics; ++h) {
        const double weight = 1.0 / std::sqrt(h);
        score += weight * peakNear(compressed, binHz, f0 * h, kPartialTolerance);
        score -= kHalfHarmonicPenalty * weight * peakNear(compressed, binHz, f0 * (h - 0.5), kPartialTolerance);
    }
    return score;
}

// How much the harmonics of `f0` that are not harmonics of `other` as well grew from `before` to
// `after`, weighted like harmonicScore().
double unsharedRise(const std::vector<double>& after, const std::vector<double>& before,
                    double binHz, double f0, double other) {
    const int harmonics = std::min(kMaxHarmonics, static_cast<int>(kMaxPartialHz / f0));
    double rise = 0;
    for (int h = 1; h <= harmonics; ++h) {
        const double ratio = f0 * h / other;
        if (ratio >= 0.5 && std::abs(ratio - std::round(ratio)) < kPartialTolerance * ratio) continue;
        rise += (peakNear(after, binHz, f0 * h, kPartialTolerance) -
                 peakNear(before, binHz, f0 * h, kPartialTolerance)) /
                std::sqrt(h);
    }
    return rise;
}

struct Candidate {
    double midi = 0;
    double score = 0;
};

Candidate bestCandidate(const std::vector<double>& spectrum, double binHz) {
    Candidate best;
    for (double midi = kLowestNote - 1; midi <= kHighestNote + 1; midi += kCandidateStep) {
        const double score = harmonicScore(spectrum, binHz, midiToHz(midi));
        if (score > best.score) best = {midi, score};
    }
    return best;
}

// Square roots of the magnitudes, so that the fundamental and the upper partials all take
// part, not only the strongest one.
std::vector<double> compressed(std::vector<double> spectrum) {
    for (double& m : spectrum) m = std::sqrt(m);
    return spectrum;
}

}  // namespace

double midiToHz(double midi) { return 440.0 * std::pow(2.0, (midi - 69.0) / 12.0); }

double hzToMidi(double hz) { return 69.0 + 12.0 * std::log2(hz / 440.0); }

double rms(std::span<const float> samples) {
    if (samples.empty()) return 0;
    double sum = 0;
    for (float s : samples) sum += double{s} * s;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

bool isSilent(std::span<const float> samples) { return rms(samples) < kSilenceRms; }

std::vector<Dropout> findDropouts(std::span<const float> samples, int rate) {
    const auto shortest = static_cast<std::size_t>(kShortestDropoutSeconds * rate);
    const auto longest = static_cast<std::size_t>(kLongestDropoutSeconds * rate);
    const auto context = static_cast<std::size_t>(kDropoutContextSeconds * rate);
    std::vector<Dropout> dropouts;
    std::size_t i = 0;
    while (i < samples.size()) {
        if (samples[i] != 0.0f) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < samples.size() && samples[end] == 0.0f) ++end;
        const std::size_t length = end - i;
        const bool soundBefore = i >= context && rms(samples.subspan(i - context, context)) >= kOnsetFloor;
        // Silence that runs to the end of the samples may be a dropout still going on.
        const bool trailing = end == samples.size();
        const bool soundAfter =
            !trailing && rms(samples.subspan(end, std::min(context, samples.size() - end))) >= kOnsetFloor;
        if (length >= shortest && soundBefore && (trailing || (length <= longest && soundAfter))) {
            dropouts.push_back({i, end});
        }
        i = end;
    }
    return dropouts;
}

namespace {

// Where the spliced sound joins across a dropout it may jump: a click, which is no note. A frame
// that holds a joint is not judged, and what it remembers is the last frame before the joint; a
// note that starts next to a joint is found a little later, by the first frame after it.
std::vector<double> strengthAcross(std::span<const float> samples, const std::vector<std::size_t>& joints,
                                   int rate) {
    const auto hop = static_cast<std::size_t>(kFluxHopSeconds * rate);
    const std::size_t bins = std::min<std::size_t>(
        kFluxWindow / 2, static_cast<std::size_t>(kMaxFluxHz * kFluxWindow / rate));
    std::vector<std::vector<double>> history;  // the spectra of the frames before
    std::vector<double> strength;
    for (std::size_t center = 0; center < samples.size(); center += hop) {
        if (center < kFluxWindow / 2 || center + kFluxWindow / 2 > samples.size()) {
            strength.push_back(0);
            continue;
        }
        const std::size_t begin = center - kFluxWindow / 2;
        std::vector<double> spectrum = magnitudeSpectrum(samples, begin, kFluxWindow, kFluxWindow);
        spectrum.resize(bins);
        for (double& m : spectrum) m = std::sqrt(m);
        if (std::any_of(joints.begin(), joints.end(), [&](std::size_t joint) {
                return joint > begin && joint < begin + kFluxWindow;
            })) {
            strength.push_back(0);
            if (!history.empty()) history.push_back(history.back());
            if (history.size() > kFluxLookbackFrames) history.erase(history.begin());
            continue;
        }
        double rose = 0, total = 0;
        if (rms(samples.subspan(center - kFluxWindow / 8, kFluxWindow / 4)) >= kOnsetFloor) {
            for (std::size_t k = 0; k < bins; ++k) {
                double before = 0;
                for (std::size_t f = 0; f + kFluxGapFrames <= history.size(); ++f) {
                    before = std::max(before, history[f][k]);
                }
                rose += std::max(0.0, spectrum[k] - before);
                total += spectrum[k];
            }
        }
        strength.push_back(total > 0 ? rose / total : 0);
        history.push_back(std::move(spectrum));
        if (history.size() > kFluxLookbackFrames) history.erase(history.begin());
    }
    return strength;
}

}  // namespace

std::vector<double> onsetStrength(std::span<const float> samples, int rate) {
    return strengthAcross(samples, {}, rate);
}

namespace {

std::vector<std::size_t> onsetsOf(const Spliced& spliced, int rate) {
    const auto hop = static_cast<std::size_t>(kFluxHopSeconds * rate);
    std::vector<std::size_t> joints;
    std::size_t removed = 0;
    for (const Dropout& dropout : spliced.dropouts) {
        joints.push_back(dropout.begin - removed);
        removed += dropout.end - dropout.begin;
    }
    const std::vector<double> strength = strengthAcross(spliced.samples, joints, rate);
    const auto refractory = static_cast<std::size_t>(kRefractorySeconds * rate);
    std::vector<std::size_t> onsets;
    bool armed = true;
    for (std::size_t i = 0; i < strength.size(); ++i) {
        if (strength[i] < kRearmShare) armed = true;
        if (!armed || strength[i] < kOnsetShare) continue;
        if (!onsets.empty() && i * hop - onsets.back() < refractory) continue;
        onsets.push_back(i * hop);
        armed = false;
    }
    return onsets;
}

}  // namespace

Spliced removeDropouts(std::span<const float> samples, int rate) {
    Spliced spliced;
    spliced.dropouts = findDropouts(samples, rate);
    std::size_t from = 0;
    for (const Dropout& dropout : spliced.dropouts) {
        spliced.samples.insert(spliced.samples.end(), samples.begin() + static_cast<std::ptrdiff_t>(from),
                               samples.begin() + static_cast<std::ptrdiff_t>(dropout.begin));
        from = dropout.end;
    }
    spliced.samples.insert(spliced.samples.end(), samples.begin() + static_cast<std::ptrdiff_t>(from),
                           samples.end());
    return spliced;
}

std::size_t Spliced::originalIndex(std::size_t index) const {
    for (const Dropout& dropout : dropouts) {
        if (dropout.begin > index) break;
        index += dropout.end - dropout.begin;
    }
    return index;
}

std::vector<std::size_t> detectOnsets(std::span<const float> samples, int rate) {
    const Spliced spliced = removeDropouts(samples, rate);
    std::vector<std::size_t> onsets = onsetsOf(spliced, rate);
    for (std::size_t& onset : onsets) onset = spliced.originalIndex(onset);
    return onsets;
}

std::vector<double> magnitudeSpectrum(std::span<const float> samples, std::size_t begin,
                                      std::size_t length, std::size_t fftSize) {
    std::vector<std::complex<double>> buffer(fftSize);
    length = std::min({length, fftSize, begin < samples.size() ? samples.size() - begin : 0});
    for (std::size_t i = 0; i < length; ++i) {
        const double hann =
            0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(length));
        buffer[i] = samples[begin + i] * hann;
    }
    fft(buffer);
    std::vector<double> magnitude(fftSize / 2);
    for (std::size_t i = 0; i < magnitude.size(); ++i) magnitude[i] = std::abs(buffer[i]);
    return magnitude;
}

std::optional<double> estimatePitch(std::span<const float> samples, std::size_t onset, int rate) {
    const std::size_t begin = onset + static_cast<std::size_t>(kAttackDelaySeconds * rate);
    if (begin >= samples.size()) return std::nullopt;
    const std::size_t length = std::min(kPitchWindow, samples.size() - begin);
    if (length < kPitchWindow / 4 || rms(samples.subspan(begin, length)) < kOnsetFloor / 2) {
        return std::nullopt;
    }
    const double binHz = static_cast<double>(rate) / kPitchFft;
    const std::vector<double> after = magnitudeSpectrum(samples, begin, length, kPitchFft);
    const Candidate whole = bestCandidate(compressed(after), binHz);

    // What is new at the onset: the spectrum after it less the spectrum just before it, which
    // holds the previous note (released at this moment, it only fades from here).
    const std::size_t gap = static_cast<std::size_t>(2 * kAttackDelaySeconds * rate);
    if (onset < gap + length / 2) return whole.score > 0 ? std::optional(whole.midi) : std::nullopt;
    const std::size_t beforeBegin = onset - gap >= length ? onset - gap - length : 0;
    const std::vector<double> before =
        magnitudeSpectrum(samples, beforeBegin, onset - gap - beforeBegin, kPitchFft);
    std::vector<double> rest(after.size());
    for (std::size_t k = 0; k < after.size(); ++k) rest[k] = std::max(0.0, after[k] - before[k]);
    const std::vector<double> restCompressed = compressed(rest);
    const Candidate fresh = bestCandidate(restCompressed, binHz);
    if (fresh.score <= 0) return whole.score > 0 ? std::optional(whole.midi) : std::nullopt;
    // The same note struck again leaves an uneven remainder on its own harmonics, which the
    // remainder's best reading may get an octave or a fifth wrong. Only the partials that one
    // reading explains and the other does not can tell them apart: a note struck again makes
    // its partials rise; the previous note, released, makes its partials fall.
    const std::vector<double> afterCompressed = compressed(after);
    const std::vector<double> beforeCompressed = compressed(before);
    const double wholeHz = midiToHz(whole.midi), freshHz = midiToHz(fresh.midi);
    const double wholeRise = unsharedRise(afterCompressed, beforeCompressed, binHz, wholeHz, freshHz);
    const double freshRise = unsharedRise(afterCompressed, beforeCompressed, binHz, freshHz, wholeHz);
    if (wholeRise > 0 && wholeRise > freshRise) return whole.midi;
    return fresh.midi;
}

std::optional<int> notePitch(std::span<const float> samples, std::size_t onset, int rate) {
    const std::optional<double> midi = estimatePitch(samples, onset, rate);
    if (!midi) return std::nullopt;
    return static_cast<int>(std::lround(*midi));
}

std::vector<HeardNote> transcribe(std::span<const float> samples, int rate) {
    const Spliced spliced = removeDropouts(samples, rate);
    std::vector<HeardNote> notes;
    for (std::size_t onset : onsetsOf(spliced, rate)) {
        notes.push_back({spliced.originalIndex(onset), notePitch(spliced.samples, onset, rate)});
    }
    return notes;
}

HarmonicProfile harmonicProfile(std::span<const float> samples, std::size_t begin,
                                std::size_t length, int midi, int rate) {
    std::size_t fftSize = 1;
    while (fftSize < 4 * length) fftSize <<= 1;
    const std::vector<double> spectrum = magnitudeSpectrum(samples, begin, length, fftSize);
    const double binHz = static_cast<double>(rate) / static_cast<double>(fftSize);
    const double f0 = midiToHz(midi);
    HarmonicProfile profile{};
    double strongest = 1e-12;
    for (int h = 1; h <= kProfileHarmonics; ++h) {
        profile[h - 1] = peakNear(spectrum, binHz, f0 * h, 0.02);
        strongest = std::max(strongest, profile[h - 1]);
    }
    for (double& level : profile) level = 20 * std::log10(std::max(level / strongest, 1e-4));
    return profile;
}

double profileDistance(const HarmonicProfile& a, const HarmonicProfile& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(a[i] - b[i]);
    return sum / static_cast<double>(a.size());
}

double spectralCentroid(std::span<const float> samples, std::size_t begin, std::size_t length,
                        int rate) {
    std::size_t fftSize = 1;
    while (fftSize < length) fftSize <<= 1;
    const std::vector<double> spectrum = magnitudeSpectrum(samples, begin, length, fftSize);
    const double binHz = static_cast<double>(rate) / static_cast<double>(fftSize);
    double weighted = 0, total = 0;
    for (std::size_t i = 1; i < spectrum.size(); ++i) {
        weighted += static_cast<double>(i) * binHz * spectrum[i];
        total += spectrum[i];
    }
    return total > 0 ? weighted / total : 0;
}

}  // namespace velune::e2e
