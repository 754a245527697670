// The ears of the end-to-end tests, checked on sound whose notes are known: synthetic tones and
// the program's own synthesizer rendered offline. If these drift, an end-to-end failure could be
// the ears rather than the program.

#include "audio_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "offline_synth.h"

namespace velune::e2e {
namespace {

constexpr double kOnsetToleranceSeconds = 0.025;

std::size_t at(double seconds) { return static_cast<std::size_t>(seconds * kSampleRate); }

std::string describe(const std::vector<HeardNote>& heard) {
    std::ostringstream out;
    for (const HeardNote& note : heard) {
        out << ' ' << (note.midi ? std::to_string(*note.midi) : "?") << '@'
            << static_cast<double>(note.onset) / kSampleRate;
    }
    return out.str();
}

// A struck tone: harmonics falling as 1/h, a fast rise, a slow decay while held and a fast one
// after its release.
void addTone(std::vector<float>& out, double midi, double start, double release) {
    const double f0 = midiToHz(midi);
    for (std::size_t i = at(start); i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kSampleRate - start;
        double envelope = std::min(1.0, t / 0.003) * std::exp(-1.5 * t);
        if (t + start > release) envelope *= std::exp(-25 * (t + start - release));
        double value = 0;
        for (int h = 1; h <= 8 && f0 * h < kSampleRate / 2.0; ++h) {
            value += std::sin(2 * std::numbers::pi * f0 * h * t) / h;
        }
        out[i] += static_cast<float>(0.01 * envelope * value);
    }
}

struct Ringing {
    int interval;  // of the previous note, released as the new one starts
};

class SyntheticTone : public ::testing::TestWithParam<Ringing> {};

TEST_P(SyntheticTone, EveryNoteIsHeardOnceAtItsPitchOverTheReleasedPreviousNote) {
    std::vector<std::string> misses;
    for (int note = kLowestNote; note <= kHighestNote; ++note) {
        int previous = note + GetParam().interval;
        if (previous < kLowestNote || previous > kHighestNote) previous = note - GetParam().interval;
        std::vector<float> sound(at(1.0));
        addTone(sound, previous, 0.05, 0.45);
        addTone(sound, note, 0.45, 1.0);
        const std::vector<HeardNote> heard = transcribe(sound);
        const bool right = heard.size() == 2 && heard[0].midi == previous && heard[1].midi == note &&
                           std::abs(static_cast<double>(heard[1].onset) / kSampleRate - 0.45) <
                               kOnsetToleranceSeconds;
        if (!right) misses.push_back(std::to_string(previous) + "->" + std::to_string(note) + ":" +
                                     describe(heard));
    }
    EXPECT_TRUE(misses.empty()) << misses.size() << " of 61 misheard:\n"
                                << ::testing::PrintToString(misses);
}

INSTANTIATE_TEST_SUITE_P(Intervals, SyntheticTone,
                         ::testing::Values(Ringing{7}, Ringing{-5}, Ringing{1}, Ringing{12},
                                           Ringing{-12}, Ringing{19}),
                         [](const auto& info) {
                             const int interval = info.param.interval;
                             return (interval < 0 ? "Down" : "Up") + std::to_string(std::abs(interval));
                         });

// A melody played the way the program plays it: each note-on right after the previous note's
// note-off, or after a rest. The piano melodies are what the end-to-end tests play, so every
// note there must be heard right; for other instruments 95 % is asked. A blown or bowed attack
// may swell twice (breath, then tone) and be heard as two onsets of the same note, the first a
// little late.
struct Performance {
    const char* name;
    int program;
    std::vector<int> notes;
    double noteSeconds;
    double restSeconds;
    bool everyNote;
    bool swellingAttack;
};

std::vector<int> chromatic() {
    std::vector<int> notes;
    for (int n = kLowestNote; n <= kHighestNote; ++n) notes.push_back(n);
    return notes;
}

// Every note once, leaping by fifths around the range.
std::vector<int> fifths() {
    std::vector<int> notes;
    const int span = kHighestNote - kLowestNote + 1;
    for (int k = 0; k < span; ++k) notes.push_back(kLowestNote + (k * 7) % span);
    return notes;
}

// Every note struck twice.
std::vector<int> repeated() {
    std::vector<int> notes;
    for (int n = kLowestNote; n <= kHighestNote; ++n) notes.insert(notes.end(), {n, n});
    return notes;
}

std::vector<float> perform(const Performance& performance, std::vector<std::size_t>& starts) {
    OfflineSynth synth;
    EXPECT_TRUE(synth.ready()) << "no General MIDI SoundFont";
    synth.program(performance.program);
    synth.play(0.1);
    int previous = -1;
    for (int note : performance.notes) {
        if (previous >= 0) synth.noteOff(previous);
        if (performance.restSeconds > 0) synth.play(performance.restSeconds);
        starts.push_back(synth.position());
        synth.noteOn(note);
        synth.play(performance.noteSeconds);
        previous = note;
    }
    synth.noteOff(previous);
    synth.play(0.3);
    return synth.samples();
}

class Rendered : public ::testing::TestWithParam<Performance> {};

TEST_P(Rendered, NotesAreHeardWhereTheyStartAtTheirPitch) {
    const Performance& performance = GetParam();
    std::vector<std::size_t> starts;
    const std::vector<HeardNote> heard = transcribe(perform(performance, starts));

    // A slow attack is found when it has grown enough, up to 80 ms late.
    const double tolerance = performance.swellingAttack ? 0.08 : kOnsetToleranceSeconds;
    std::size_t next = 0, extra = 0;
    int rightPitch = 0;
    std::vector<std::string> misses;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        const auto near = [&](const HeardNote& h) {
            return std::abs(static_cast<double>(h.onset) - static_cast<double>(starts[i])) <
                   tolerance * kSampleRate;
        };
        while (next < heard.size() && !near(heard[next]) && heard[next].onset < starts[i]) {
            ++extra;
            ++next;
        }
        if (next == heard.size() || !near(heard[next])) {
            ADD_FAILURE() << "no onset for note " << i << " (" << performance.notes[i] << ") at "
                          << static_cast<double>(starts[i]) / kSampleRate << " s";
            continue;
        }
        if (heard[next].midi == performance.notes[i]) {
            ++rightPitch;
        } else {
            misses.push_back(std::to_string(performance.notes[i]) + " heard as " +
                             (heard[next].midi ? std::to_string(*heard[next].midi) : "nothing"));
        }
        ++next;
    }
    extra += heard.size() - next;
    const auto notes = static_cast<int>(starts.size());
    std::cout << performance.name << ": " << rightPitch << " of " << notes
              << " notes at the right pitch, " << extra << " extra onsets\n";
    EXPECT_GE(rightPitch, performance.everyNote ? notes : notes * 95 / 100)
        << ::testing::PrintToString(misses);
    EXPECT_LE(extra, performance.swellingAttack ? starts.size() / 20 : 0u) << describe(heard);
}

INSTANTIATE_TEST_SUITE_P(
    Instruments, Rendered,
    ::testing::Values(Performance{"PianoChromaticLegato", 0, chromatic(), 0.35, 0, true, false},
                      Performance{"PianoLeapingLegato", 0, fifths(), 0.35, 0, true, false},
                      Performance{"PianoSameNoteTwice", 0, repeated(), 0.35, 0, false, false},
                      Performance{"VibraphoneLegato", 11, fifths(), 0.35, 0, false, false},
                      Performance{"NylonGuitarLegato", 24, fifths(), 0.35, 0, false, false},
                      Performance{"StringsAfterRests", 48, fifths(), 0.4, 0.3, false, true},
                      Performance{"TrumpetAfterRests", 56, fifths(), 0.4, 0.3, false, true},
                      Performance{"FluteAfterRests", 73, fifths(), 0.4, 0.3, false, true},
                      Performance{"SquareLeadAfterRests", 80, fifths(), 0.4, 0.3, false, true},
                      Performance{"SawLeadAfterRests", 81, fifths(), 0.4, 0.3, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// The audio server fills an underrun with silence and then plays on from where the program's
// sound left off.
std::vector<float> withGaps(const std::vector<float>& sound, const std::vector<std::pair<double, double>>& gaps) {
    std::vector<float> out;
    std::size_t from = 0;
    for (auto [at_, seconds] : gaps) {
        out.insert(out.end(), sound.begin() + static_cast<std::ptrdiff_t>(from),
                   sound.begin() + static_cast<std::ptrdiff_t>(at(at_)));
        out.insert(out.end(), at(seconds), 0.0f);
        from = at(at_);
    }
    out.insert(out.end(), sound.begin() + static_cast<std::ptrdiff_t>(from), sound.end());
    return out;
}

TEST(Dropouts, GapsInTheOutputAreNoNewNotes) {
    OfflineSynth synth;
    ASSERT_TRUE(synth.ready());
    synth.play(0.2);
    synth.noteOn(60);
    synth.play(1.5);
    synth.noteOff(60);
    synth.noteOn(67);
    synth.play(0.5);
    // Gaps during the attack, while the note sounds on, and just before the next note.
    const std::vector<std::pair<double, double>> gaps{
        {0.21, 0.01}, {0.23, 0.12}, {0.6, 0.002}, {0.9, 0.04}, {1.68, 0.1}};
    const std::vector<float> sound = withGaps(synth.samples(), gaps);
    EXPECT_EQ(findDropouts(sound).size(), gaps.size());
    EXPECT_EQ(removeDropouts(sound).samples, synth.samples());
    const std::vector<HeardNote> heard = transcribe(sound);
    ASSERT_EQ(heard.size(), 2u) << describe(heard);
    EXPECT_EQ(heard[0].midi, 60);
    EXPECT_EQ(heard[1].midi, 67);
    // Where the second note sits in the recording, after all the gaps.
    EXPECT_NEAR(static_cast<double>(heard[1].onset) / kSampleRate, 1.7 + 0.272, kOnsetToleranceSeconds);
}

// On a busy machine the gaps come in bursts, just after a note has started.
TEST(Dropouts, ABurstOfGapsAfterANoteStartsIsNoNewNote) {
    OfflineSynth synth;
    ASSERT_TRUE(synth.ready());
    synth.play(0.2);
    synth.noteOn(60);
    synth.play(1.0);
    const std::vector<float> sound = withGaps(
        synth.samples(), {{0.238, 0.004}, {0.253, 0.038}, {0.289, 0.043}, {0.305, 0.004}, {0.35, 0.003}});
    const std::vector<HeardNote> heard = transcribe(sound);
    ASSERT_EQ(heard.size(), 1u) << describe(heard);
    EXPECT_EQ(heard[0].midi, 60);
}

// Under load the audio server may also skip what the program sent late: the sound jumps where
// the silence ends.
TEST(Dropouts, GapsThatLoseSoundAreNoNewNotesEither) {
    std::vector<float> sound = renderNote(0, 60, 1.5);
    for (double from : {0.07, 0.31, 0.6, 0.93}) {
        std::fill_n(sound.begin() + static_cast<std::ptrdiff_t>(at(from)), at(0.017 + from / 20), 0.0f);
    }
    EXPECT_EQ(findDropouts(sound).size(), 4u);
    const std::vector<HeardNote> heard = transcribe(sound);
    ASSERT_EQ(heard.size(), 1u) << describe(heard);
    EXPECT_EQ(heard[0].midi, 60);
}

TEST(Dropouts, ARecordingThatEndsInADropoutEndsWithoutANewNote) {
    std::vector<float> sound = renderNote(0, 60, 0.8);
    std::fill(sound.end() - static_cast<std::ptrdiff_t>(at(0.03)), sound.end(), 0.0f);
    EXPECT_EQ(findDropouts(sound).size(), 1u);
    EXPECT_EQ(detectOnsets(sound).size(), 1u);
}

TEST(Dropouts, SilenceBeforeANoteIsNoDropout) {
    const std::vector<float> sound = renderNote(0, 60, 0.5);
    EXPECT_TRUE(findDropouts(sound).empty());
    EXPECT_EQ(detectOnsets(sound).size(), 1u);
}

TEST(Silence, AHeldNoteSoundsOnAndItsReleaseFallsSilent) {
    OfflineSynth synth;
    ASSERT_TRUE(synth.ready());
    synth.noteOn(60);
    synth.play(2.0);
    const std::vector<float> held = synth.samples();
    EXPECT_EQ(detectOnsets(held).size(), 1u);
    for (double t = 0.1; t < 1.9; t += 0.1) {
        EXPECT_FALSE(isSilent(std::span(held).subspan(at(t), at(0.1)))) << "at " << t << " s";
    }
    synth.noteOff(60);
    synth.play(2.0);
    const std::span<const float> all(synth.samples());
    EXPECT_FALSE(isSilent(all.subspan(at(2.0), at(0.1))));
    EXPECT_TRUE(isSilent(all.subspan(at(3.5), at(0.5))));
}

// The fingerprint of an instrument: the same note on the same program matches itself however it
// was started; other programs differ by several dB.
TEST(Timbre, ProfilesTellTheFluteFromThePianoAndItsNeighbours) {
    for (int note : {60, 72}) {
        auto profileOf = [note](int program, double lead) {
            OfflineSynth synth;
            synth.program(program);
            synth.play(lead);
            const std::size_t start = synth.position();
            synth.noteOn(note);
            synth.play(0.6);
            return harmonicProfile(synth.samples(), start + at(0.05), at(0.25), note);
        };
        const HarmonicProfile piano = profileOf(0, 0.05);
        const HarmonicProfile flute = profileOf(73, 0.05);
        EXPECT_LT(profileDistance(piano, profileOf(0, 0.37)), kSameTimbreDb) << note;
        EXPECT_LT(profileDistance(flute, profileOf(73, 0.29)), kSameTimbreDb) << note;
        EXPECT_GT(profileDistance(piano, flute), 2 * kSameTimbreDb) << note;
        for (int neighbour : {72, 74}) {
            EXPECT_GT(profileDistance(flute, profileOf(neighbour, 0.05)), 2 * kSameTimbreDb)
                << note << " against program " << neighbour;
        }
    }
}

TEST(Timbre, ABrightToneHasAHigherCentroid) {
    std::vector<float> dull(at(0.5)), bright(at(0.5));
    addTone(dull, 60, 0, 1);
    for (std::size_t i = 0; i < bright.size(); ++i) {
        bright[i] = dull[i] + 0.005f * static_cast<float>(std::sin(2 * std::numbers::pi * 3000.0 *
                                                                    static_cast<double>(i) / kSampleRate));
    }
    EXPECT_GT(spectralCentroid(bright, 0, at(0.3)), spectralCentroid(dull, 0, at(0.3)) + 300);
}

}  // namespace
}  // namespace velune::e2e
