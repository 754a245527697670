// The real synthesizer, rendered offline: the notes Module1 sends must sound at the right pitch,
// stop, and change timbre with the instrument; a broken SoundFont must read as "no device".

#include "fluidsynth_service.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <vector>

#include "module1.h"
#include "recording_midi.h"

namespace velune {
namespace {

namespace fs = std::filesystem;
constexpr int kRate = 48000;
const char* const kGm = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

std::vector<float> renderSeconds(FluidSynthService& synth, double seconds) {
    const int frames = static_cast<int>(seconds * kRate);
    std::vector<float> left(frames), right(frames);
    synth.render(left.data(), right.data(), frames);
    return left;
}

double rms(const std::vector<float>& s, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double{s[i]} * s[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

double magnitudeAt(const std::vector<float>& s, double hz) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double phase = 2 * std::numbers::pi * hz * static_cast<double>(i) / kRate;
        re += s[i] * std::cos(phase);
        im += s[i] * std::sin(phase);
    }
    return std::hypot(re, im) / static_cast<double>(s.size());
}

double strongestBetween(const std::vector<float>& s, double low, double high) {
    double best = low, bestMagnitude = 0;
    for (double hz = low; hz <= high; hz += 0.5) {
        if (const double m = magnitudeAt(s, hz); m > bestMagnitude) {
            bestMagnitude = m;
            best = hz;
        }
    }
    return best;
}

// The levels of the first eight harmonics of a tone.
std::vector<double> harmonicProfile(const std::vector<float>& s, double fundamental) {
    std::vector<double> profile;
    for (int h = 1; h <= 8; ++h) profile.push_back(magnitudeAt(s, fundamental * h));
    return profile;
}

// How far apart two timbres are: the overtones' levels relative to the fundamental, compared in
// decibels, on average.
double timbreDistanceDb(const std::vector<double>& a, const std::vector<double>& b) {
    double difference = 0;
    for (std::size_t h = 1; h < 6; ++h) {
        difference += std::abs(20 * std::log10((a[h] / a[0]) / (b[h] / b[0])));
    }
    return difference / 5;
}

struct SynthTest : ::testing::Test {
    void SetUp() override {
        if (!fs::exists(kGm)) GTEST_SKIP() << "the General MIDI SoundFont is not installed";
    }
    FluidSynthService synth{SynthConfig{{kGm}, false, {kRate, 256, 2}}};
    testing::RecordingUi ui;
    Module1 midi{synth, ui};

    std::vector<float> play(int note, double seconds) {
        midi.NoteOn(0, static_cast<std::int16_t>(note), 100);
        return renderSeconds(synth, seconds);
    }
};

TEST_F(SynthTest, NotesSoundAtTheirPitch) {
    midi.CheckMidiDevice();
    ASSERT_TRUE(midi.OpenMidiOut(kMidiMapper));
    const struct {
        int note;
        double hz;
    } cases[] = {{60, 261.63}, {36, 65.41}, {71, 493.88}, {95, 1975.53}};
    for (const auto& c : cases) {
        const auto sound = play(c.note, 0.4);
        const double found = strongestBetween(sound, c.hz * 0.75, c.hz * 1.3);
        EXPECT_NEAR(found, c.hz, c.hz * 0.01) << "note " << c.note;
        midi.NoteOff(0, static_cast<std::int16_t>(c.note));
        renderSeconds(synth, 3);
    }
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(SynthTest, LoadingInTheBackgroundThenPlaying) {
    synth.prepareInBackground();
    midi.CheckMidiDevice();
    ASSERT_TRUE(midi.OpenMidiOut(kMidiMapper));
    const auto sound = play(67, 0.3);
    EXPECT_NEAR(strongestBetween(sound, 300, 500), 392.0, 392.0 * 0.01);
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(SynthTest, NoteOffFallsToSilence) {
    ASSERT_TRUE(midi.OpenMidiOut(kMidiMapper));
    const auto sounding = play(60, 0.5);
    ASSERT_GT(rms(sounding, sounding.size() / 2, sounding.size()), 1e-3);
    midi.NoteOff(0, 60);
    const auto after = renderSeconds(synth, 2.0);
    EXPECT_LT(rms(after, after.size() - kRate / 10, after.size()), 1e-4);
}

TEST_F(SynthTest, FluteSoundsDifferentFromPiano) {
    ASSERT_TRUE(midi.OpenMidiOut(kMidiMapper));
    const auto piano = harmonicProfile(play(60, 0.5), 261.63);
    midi.NoteOff(0, 60);
    renderSeconds(synth, 3);
    midi.SetInstrument(0, 0, 73);
    const auto flute = harmonicProfile(play(60, 0.5), 261.63);
    EXPECT_GT(timbreDistanceDb(piano, flute), 6.0) << "program 73 should not sound like program 0";
    EXPECT_TRUE(ui.boxes.empty());
}

// The synthesizer starts with a preset on the keyboard's channel only; every other channel gets
// the General MIDI default when it is first used: the piano, and the drum kit on channel 10.
TEST_F(SynthTest, EveryChannelPlaysItsDefaultWithoutAProgramChange) {
    ASSERT_TRUE(midi.OpenMidiOut(kMidiMapper));
    const auto piano = harmonicProfile(play(60, 0.5), 261.63);
    midi.NoteOff(0, 60);
    renderSeconds(synth, 3);
    for (std::int16_t channel = 1; channel < 16; ++channel) {
        midi.NoteOn(channel, 60, 100);
        const auto sound = renderSeconds(synth, 0.5);
        ASSERT_GT(rms(sound, 0, sound.size()), 1e-3) << "channel " << channel + 1 << " is silent";
        const double distance = timbreDistanceDb(piano, harmonicProfile(sound, 261.63));
        if (channel == 9) {
            EXPECT_GT(distance, 6.0) << "channel 10 should play the drum kit, not the piano";
        } else {
            EXPECT_LT(distance, 1.0) << "channel " << channel + 1 << " should play the piano";
        }
        midi.NoteOff(channel, 60);
        renderSeconds(synth, 3);
    }
    EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(SynthTest, ClosedPortRefusesMessagesWithAText) {
    ASSERT_TRUE(midi.OpenMidiOut(kMidiMapper));
    midi.CloseMidiOut();
    midi.NoteOn(0, 60, 100);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0], FluidSynthService::resultText(FluidSynthService::kNotOpen));
}

TEST(SynthResultTexts, EveryTextFitsTheErrorBuffer) {
    FluidSynthService synth{SynthConfig{}};
    for (std::int32_t code = 0; code <= 9; ++code) {
        char buffer[kErrorTextSize];
        std::fill(std::begin(buffer), std::end(buffer), ' ');
        synth.errorText(code, buffer, sizeof buffer);
        const std::string text(buffer);
        EXPECT_LT(text.size(), std::size_t{kErrorTextSize}) << code;
        EXPECT_EQ(text, FluidSynthService::resultText(code));
        EXPECT_FALSE(text.empty());
    }
    char tiny[8];
    synth.errorText(FluidSynthService::kAudioLost, tiny, sizeof tiny);
    EXPECT_EQ(std::string(tiny), "音频") << "a short buffer is cut at a character boundary";
}

struct BrokenSoundFont {
    const char* name;
    std::function<void(const fs::path&)> make;
};

TEST(SynthSoundFonts, BrokenSoundFontMeansNoDevice) {
    const fs::path dir = fs::temp_directory_path() / ("velune-sf-" + std::to_string(getpid()));
    fs::create_directories(dir);
    auto writeBytes = [](const fs::path& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    };
    auto truncatedCopy = [](const fs::path& p, double fraction) {
        std::ifstream in(kGm, std::ios::binary);
        std::vector<char> bytes(static_cast<std::size_t>(fs::file_size(kGm) * fraction));
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(p, std::ios::binary).write(bytes.data(), in.gcount());
    };
    const BrokenSoundFont cases[] = {
        {"missing", [](const fs::path&) {}},
        {"empty", [&](const fs::path& p) { writeBytes(p, ""); }},
        {"not a SoundFont", [&](const fs::path& p) { writeBytes(p, "MThd this is a MIDI file"); }},
        {"bare header", [&](const fs::path& p) { writeBytes(p, std::string("RIFF\x10\0\0\0sfbk", 12)); }},
        {"truncated to 1 kB", [&](const fs::path& p) { truncatedCopy(p, 1024.0 / fs::file_size(kGm)); }},
        {"truncated to half", [&](const fs::path& p) { truncatedCopy(p, 0.5); }},
        {"a folder", [](const fs::path& p) { fs::create_directories(p); }},
    };
    const bool haveGm = fs::exists(kGm);
    int n = 0;
    for (const auto& c : cases) {
        const fs::path file = dir / ("case" + std::to_string(n++) + ".sf2");
        if (!haveGm && std::string(c.name).starts_with("truncated")) continue;
        c.make(file);
        FluidSynthService synth{SynthConfig{{file.string()}, false, {}}};
        if (n % 2 == 0) synth.prepareInBackground();  // as the program starts it
        testing::RecordingUi ui;
        Module1 midi{synth, ui};
        EXPECT_THROW(midi.CheckMidiDevice(), ProgramEnded) << c.name;
        EXPECT_EQ(ui.boxes, std::vector<std::string>{kNoDeviceMessage}) << c.name;
    }
    fs::remove_all(dir);
}

TEST(SynthAudio, NoAudioServerAndNoSoundCardMeansNoDevice) {
    if (!fs::exists(kGm)) GTEST_SKIP() << "the General MIDI SoundFont is not installed";
    const fs::path emptyAlsaConfig = fs::temp_directory_path() / "velune-empty-asound.conf";
    std::ofstream(emptyAlsaConfig) << "";
    setenv("PULSE_SERVER", "unix:/nonexistent/velune/native", 1);
    setenv("ALSA_CONFIG_PATH", emptyAlsaConfig.c_str(), 1);
    FluidSynthService synth{SynthConfig{{kGm}, true, {}}};
    EXPECT_EQ(synth.queryDefaultOutput(), FluidSynthService::kNoAudioOutput);
    std::uint32_t handle = 0;
    EXPECT_NE(synth.open(handle, -1), 0);
    EXPECT_EQ(handle, 0u);
    fs::remove(emptyAlsaConfig);
}

}  // namespace
}  // namespace velune
