#include "audio_analysis.h"

#include <aubio/aubio.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>

namespace velune::rig {
namespace {

// Onsets: two of aubio's detectors over 2048 samples (41 ms) every 256 (5 ms), each finding
// what the other misses: high-frequency content finds even the quiet top notes of a piano
// (its peak comes about 10 ms into an attack, which is taken off), the complex domain a note
// struck below a louder one still ringing. A new note needs 80 ms after the one before and a
// level above -60 dBFS; each detector reports onsets 50 ms apart, so that a click at a dropout
// does not hide a strike right after it. A strike closer than that behind a join's click is
// looked for again with detectors that report onsets 15 ms apart, there only. The peak pickers
// judge a frame against the frames before, so the sound is heard after 200 ms of silence: a
// note right at the start is found too.
constexpr uint_t kOnsetWindow = 2048;
constexpr uint_t kHop = 256;
constexpr smpl_t kOnsetThreshold = 0.3f;
constexpr smpl_t kDetectorGapMs = 50;
constexpr smpl_t kFineDetectorGapMs = 15;
constexpr std::size_t kBehindJoin = kSampleRate * 60 / 1000;
constexpr std::size_t kMinimumGap = kSampleRate * 80 / 1000;
constexpr smpl_t kQuietDb = -60;
constexpr std::size_t kLeadIn = kSampleRate / 5;

// Pitch: aubio's YIN in the spectral domain on the attack, from 15 ms after the onset (past the
// strike's noise) for 160 ms; the median of the frames. A note struck an octave above one still
// ringing can be heard as that one: the tests let a note ring out before leaping. aubio's pitch
// refuses 50 kHz (it builds a weighting filter for the common rates only), so it is told 48 kHz and
// its answer is scaled back.
constexpr uint_t kPitchWindow = 2048;
constexpr uint_t kPitchHop = 512;
constexpr uint_t kPitchRate = 48000;
constexpr std::size_t kAttackDelay = kSampleRate * 15 / 1000;
constexpr std::size_t kAttackLength = kSampleRate * 16 / 100;
// Before and after an onset that does not lift the level, to tell whether the pitch changed.
constexpr std::size_t kPitchCompare = kSampleRate * 60 / 1000;
// The highest notes fade fast: their pitch is still read at -90 dBFS.
constexpr smpl_t kFaintDb = -90;

// A strike over sound still sounding lifts the level: its loudest 5 ms within 40 ms rise 1 dB
// or more above the 30 ms before it (a legato step of the scale rises 1.8 dB or more). The
// detectors also fire, now and then, in a note that sounds on evenly (within 0.5 dB): no strike.
constexpr std::size_t kLevelBefore = kSampleRate * 30 / 1000;
constexpr std::size_t kLevelGap = kSampleRate * 10 / 1000;
constexpr std::size_t kLevelBlock = kSampleRate * 5 / 1000;
constexpr std::size_t kLevelAfter = kSampleRate * 40 / 1000;
constexpr double kStrikeRise = 1.122;  // 1 dB
// Where a note began in a dropout, the level is up within this much of the join.
constexpr std::size_t kLevelRiseAtJoin = kSampleRate * 10 / 1000;
// How near a join an onset is taken for its click: the detectors place it up to 20 ms early.
constexpr std::size_t kJoinBefore = kSampleRate * 20 / 1000;
constexpr std::size_t kJoinAfter = kSampleRate * 10 / 1000;

constexpr uint_t kMelBands = 40;

// A note's exact start: it rises 12 dB (amplitude times 4) above what sounded before, to -60 dBFS;
// then back, 0.5 ms at a time, to where it rose out of what sounded just before, or out of
// silence (-120 dBFS: the synthesizer's silence is not all zeros).
constexpr float kAudible = 1e-3f;
constexpr float kRise = 4.0f;
constexpr std::size_t kStartStep = kSampleRate / 2000;
constexpr std::size_t kLastBefore = kSampleRate * 5 / 1000;
constexpr float kFloor = 1e-6f;

template <typename T, void (*Delete)(T*)>
struct Deleter {
    void operator()(T* object) const { Delete(object); }
};
using Vector = std::unique_ptr<fvec_t, Deleter<fvec_t, del_fvec>>;
using Spectrum = std::unique_ptr<cvec_t, Deleter<cvec_t, del_cvec>>;
using Onset = std::unique_ptr<aubio_onset_t, Deleter<aubio_onset_t, del_aubio_onset>>;
using Pitch = std::unique_ptr<aubio_pitch_t, Deleter<aubio_pitch_t, del_aubio_pitch>>;
using Vocoder = std::unique_ptr<aubio_pvoc_t, Deleter<aubio_pvoc_t, del_aubio_pvoc>>;
using Mfcc = std::unique_ptr<aubio_mfcc_t, Deleter<aubio_mfcc_t, del_aubio_mfcc>>;

// Calls `step` with every hop of the samples from `begin` to `end`, zero-padded at the end.
template <typename Step>
void forEachHop(std::span<const float> samples, std::size_t begin, std::size_t end, fvec_t* hop,
                Step step) {
    end = std::min(end, samples.size());
    for (std::size_t at = begin; at < end; at += hop->length) {
        for (uint_t i = 0; i < hop->length; ++i) {
            hop->data[i] = at + i < end ? samples[at + i] : 0.0f;
        }
        step(at);
    }
}

std::vector<std::size_t> onsetsBy(const char* method, uint_t extraDelay, smpl_t gapMs,
                                  const std::vector<float>& padded) {
    Onset onset(new_aubio_onset(method, kOnsetWindow, kHop, kSampleRate));
    aubio_onset_set_threshold(onset.get(), kOnsetThreshold);
    aubio_onset_set_minioi_ms(onset.get(), gapMs);
    aubio_onset_set_silence(onset.get(), kQuietDb);
    aubio_onset_set_delay(onset.get(), aubio_onset_get_delay(onset.get()) + extraDelay);
    Vector hop(new_fvec(kHop)), found(new_fvec(1));
    std::vector<std::size_t> onsets;
    forEachHop(padded, 0, padded.size(), hop.get(), [&](std::size_t) {
        aubio_onset_do(onset.get(), hop.get(), found.get());
        const std::size_t last = aubio_onset_get_last(onset.get());
        if (found->data[0] > 0) onsets.push_back(last > kLeadIn ? last - kLeadIn : 0);
    });
    return onsets;
}

// Every onset either detector finds, in order; transcribe() keeps one note per strike.
std::vector<std::size_t> onsetsOf(std::span<const float> samples, smpl_t gapMs = kDetectorGapMs) {
    std::vector<float> padded(kLeadIn);
    padded.insert(padded.end(), samples.begin(), samples.end());
    std::vector<std::size_t> both = onsetsBy("hfc", kSampleRate / 100, gapMs, padded);
    const std::vector<std::size_t> complex = onsetsBy("complex", 0, gapMs, padded);
    both.insert(both.end(), complex.begin(), complex.end());
    std::sort(both.begin(), both.end());
    return both;
}

// The pitch heard from `begin` to `end`, the median of aubio's readings.
std::optional<int> pitchIn(std::span<const float> samples, std::size_t begin, std::size_t end) {
    Pitch pitch(new_aubio_pitch("yinfft", kPitchWindow, kPitchHop, kPitchRate));
    aubio_pitch_set_unit(pitch.get(), "Hz");
    aubio_pitch_set_silence(pitch.get(), kFaintDb);
    Vector hop(new_fvec(kPitchHop)), found(new_fvec(1));
    std::vector<double> heard;
    forEachHop(samples, begin, end, hop.get(), [&](std::size_t at) {
        aubio_pitch_do(pitch.get(), hop.get(), found.get());
        const bool windowFull = at + kPitchHop >= begin + kPitchWindow;
        if (windowFull && found->data[0] > 0) {
            heard.push_back(69 + 12 * std::log2(found->data[0] * kSampleRate / kPitchRate / 440));
        }
    });
    if (heard.empty()) return std::nullopt;
    std::nth_element(heard.begin(), heard.begin() + heard.size() / 2, heard.end());
    return static_cast<int>(std::lround(heard[heard.size() / 2]));
}

std::optional<int> pitchAt(std::span<const float> samples, std::size_t onset) {
    return pitchIn(samples, onset + kAttackDelay, onset + kAttackDelay + kAttackLength);
}

// Whether the pitch just after `onset` is another than just before it: a note struck no louder
// than the one it follows (the piano's E after its D, where the D's release was cut short) is a
// new note all the same. Short windows, so that neither reaches into a further note.
// The pitch that sounded just before `onset`, if a clear one did.
std::optional<int> pitchBefore(std::span<const float> samples, std::size_t onset) {
    if (onset < kPitchCompare + kAttackDelay) return std::nullopt;
    return pitchIn(samples, onset - kPitchCompare - kAttackDelay, onset - kAttackDelay);
}

bool changesPitch(std::span<const float> samples, std::size_t onset) {
    const std::optional<int> before = pitchBefore(samples, onset);
    if (!before) return false;
    const std::optional<int> after =
        pitchIn(samples, onset + kAttackDelay, onset + kAttackDelay + kPitchCompare);
    return after && *before != *after;
}

// Whether the level rises at `onset` as at a strike, or it follows silence.
bool struck(std::span<const float> samples, std::size_t onset) {
    if (onset < kLevelBefore + kLevelGap) return true;
    const double before = rms(samples.subspan(onset - kLevelBefore - kLevelGap, kLevelBefore));
    if (before < kSilenceRms) return true;
    double loudest = 0;
    for (std::size_t at = onset; at + kLevelBlock <= std::min(samples.size(), onset + kLevelAfter);
         at += kLevelBlock) {
        loudest = std::max(loudest, rms(samples.subspan(at, kLevelBlock)));
    }
    return loudest >= kStrikeRise * before;
}

// Where the spliced sound joins across a dropout. The output lost what it should have played
// during the dropout, so the join is a jump in the waveform: a click that the onset detectors
// take for a strike.
// Just behind it, the level measured across the join is no guide to a strike.
enum class Join { None, At, Behind };
Join joinAt(const Spliced& spliced, std::size_t onset) {
    std::size_t cut = 0;
    Join found = Join::None;
    for (const Dropout& dropout : spliced.dropouts) {
        const std::size_t join = dropout.begin - cut;
        if (onset + kJoinBefore >= join && onset <= join + kJoinAfter) return Join::At;
        if (onset > join + kJoinAfter && onset <= join + kBehindJoin) found = Join::Behind;
        cut += dropout.end - dropout.begin;
    }
    return found;
}

// Whether the level rises right at the join near `onset` (a note began in the dropout), rather
// than only with a strike a little behind it.
bool risesAtJoin(const Spliced& spliced, std::size_t onset) {
    std::size_t cut = 0;
    for (const Dropout& dropout : spliced.dropouts) {
        const std::size_t join = dropout.begin - cut;
        cut += dropout.end - dropout.begin;
        if (onset + kJoinBefore < join || onset > join + kJoinAfter) continue;
        if (join < kLevelBefore + kLevelGap || join + kLevelRiseAtJoin > spliced.samples.size())
            return true;
        const std::span<const float> samples(spliced.samples);
        const double before = rms(samples.subspan(join - kLevelBefore - kLevelGap, kLevelBefore));
        return rms(samples.subspan(join, kLevelRiseAtJoin)) >= kStrikeRise * before;
    }
    return false;
}

bool atJoin(const Spliced& spliced, std::size_t onset) {
    return joinAt(spliced, onset) == Join::At;
}

// The onsets to judge: the detectors' own, and behind the click of a join that is no strike, the
// changes of pitch that finer detectors find before the coarse ones could fire again.
std::vector<std::size_t> candidatesOf(const Spliced& spliced) {
    std::vector<std::size_t> onsets = onsetsOf(spliced.samples);
    std::vector<std::size_t> fine;
    const std::size_t coarse = onsets.size();
    for (std::size_t i = 0; i < coarse; ++i) {
        const std::size_t click = onsets[i];
        if (!atJoin(spliced, click)) continue;
        // A click that seems to strike, over a note that sounded on, may only have the strike
        // of the next note just behind it in the level after it: that note is looked for too,
        // and must lift the level itself.
        const bool clickStrikes = struck(spliced.samples, click);
        if (clickStrikes && (risesAtJoin(spliced, click) || !pitchBefore(spliced.samples, click)))
            continue;
        if (fine.empty()) fine = onsetsOf(spliced.samples, kFineDetectorGapMs);
        for (std::size_t onset : fine) {
            // Only a new pitch: behind a join, the level before and after is no guide.
            if (onset > click + kJoinAfter && onset <= click + kBehindJoin &&
                !atJoin(spliced, onset) && changesPitch(spliced.samples, onset) &&
                (!clickStrikes || struck(spliced.samples, onset)))
                onsets.push_back(onset);
        }
    }
    std::sort(onsets.begin(), onsets.end());
    return onsets;
}

}  // namespace

std::vector<HeardNote> transcribe(std::span<const float> samples) {
    const Spliced spliced = removeDropouts(samples);
    std::vector<HeardNote> notes;
    std::size_t last = 0;        // where the last note starts in the spliced sound
    Join lastNear = Join::None;  // and whether that is at a join or just behind one
    for (std::size_t onset : candidatesOf(spliced)) {
        const Join near = joinAt(spliced, onset);
        const bool join = near == Join::At;
        // A strike lifts the level, or changes the pitch. A join is a strike only where the
        // level rises as at one: where a note began in the dropout. Over a note that sounds on,
        // its click is none, whatever pitch the ears hear after it.
        if (!struck(spliced.samples, onset) && (join || !changesPitch(spliced.samples, onset)))
            continue;
        if (!notes.empty() && onset - last < kMinimumGap) {
            // The same strike again, unless the one before was a join's click, or a change
            // found just behind one (whose level after it takes in this strike): then this is
            // it.
            if (!(lastNear == Join::At && !join) && !(lastNear == Join::Behind && near != Join::At))
                continue;
            notes.pop_back();
        }
        const std::optional<int> pitch = pitchAt(spliced.samples, onset);
        // A click at a join, or a rise just behind it, over the note that sounded on, is no new
        // note.
        if (near != Join::None && !notes.empty() && notes.back().midi == pitch) continue;
        notes.push_back({spliced.originalIndex(onset), pitch});
        last = onset;
        lastNear = near;
    }
    return notes;
}

std::string describe(const std::vector<HeardNote>& heard) {
    std::ostringstream out;
    for (const HeardNote& note : heard) {
        out << ' ' << (note.midi ? std::to_string(*note.midi) : "?") << '@'
            << static_cast<double>(note.onset) / kSampleRate;
    }
    return out.str();
}

std::optional<std::size_t> noteStart(std::span<const float> sound, std::size_t key) {
    const auto peakOf = [](std::span<const float> samples, std::size_t begin, std::size_t end) {
        float loudest = 0;
        for (std::size_t i = begin; i < end && i < samples.size(); ++i)
            loudest = std::max(loudest, std::abs(samples[i]));
        return loudest;
    };
    const float threshold = std::max(kAudible, kRise * peakOf(sound, 0, key));
    std::size_t at = key;
    while (at < sound.size() && std::abs(sound[at]) < threshold) ++at;
    if (at == sound.size()) return std::nullopt;
    // The step back looks at the second difference, in which a ringing tail (its upper partials
    // long gone) is far quieter than a strike's first samples, and at the tail's last 5 ms only:
    // it is fading.
    std::vector<float> edge(sound.size());
    for (std::size_t i = 2; i < sound.size(); ++i)
        edge[i] = sound[i] - 2 * sound[i - 1] + sound[i - 2];
    const float residue = std::max(peakOf(edge, key - std::min(key, kLastBefore), key), kFloor);
    while (at >= key + kStartStep && peakOf(edge, at - kStartStep, at) > residue) at -= kStartStep;
    // That ended on a quiet stretch: the note starts at its first sample above it.
    while (at + 1 < sound.size() && std::abs(edge[at]) <= residue) ++at;
    return at;
}

Timbre timbreOf(std::span<const float> samples) {
    Vocoder vocoder(new_aubio_pvoc(kOnsetWindow, kHop));
    Mfcc mfcc(new_aubio_mfcc(kOnsetWindow, kMelBands, kTimbreCoefficients + 1, kSampleRate));
    Vector hop(new_fvec(kHop)), coefficients(new_fvec(kTimbreCoefficients + 1));
    Spectrum spectrum(new_cvec(kOnsetWindow));
    Timbre mean{};
    int frames = 0;
    forEachHop(samples, 0, samples.size(), hop.get(), [&](std::size_t at) {
        aubio_pvoc_do(vocoder.get(), hop.get(), spectrum.get());
        if (at + kHop < kOnsetWindow) return;  // the window still holds the padding before
        aubio_mfcc_do(mfcc.get(), spectrum.get(), coefficients.get());
        for (std::size_t k = 0; k < kTimbreCoefficients; ++k) mean[k] += coefficients->data[k + 1];
        ++frames;
    });
    for (double& c : mean) c /= std::max(frames, 1);
    return mean;
}

double timbreDistance(const Timbre& a, const Timbre& b) {
    double sum = 0;
    for (std::size_t k = 0; k < a.size(); ++k) sum += (a[k] - b[k]) * (a[k] - b[k]);
    return std::sqrt(sum);
}

}  // namespace velune::rig
