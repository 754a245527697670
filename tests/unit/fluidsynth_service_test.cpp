// The real synthesizer, rendered offline: the notes Module1 sends must sound at the right pitch
// and stop. Every way of having no device names its cause.

#include "synth/fluidsynth_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numbers>
#include <stdexcept>

#include "captured_log.h"
#include "midi/module1.h"
#include "recording_midi.h"

namespace velune {
namespace {

namespace fs = std::filesystem;
using Samples = std::vector<float>;
constexpr int kRate = 48000;
const char* const kGm = "/usr/share/sounds/sf2/FluidR3_GM.sf2";

double rms(const Samples& s, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double{s[i]} * s[i];
    return std::sqrt(sum / static_cast<double>(to - from));
}

double magnitudeAt(const Samples& s, double hz) {
    double re = 0, im = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const double phase = 2 * std::numbers::pi * hz * static_cast<double>(i) / kRate;
        re += s[i] * std::cos(phase);
        im += s[i] * std::sin(phase);
    }
    return std::hypot(re, im) / static_cast<double>(s.size());
}

// The strongest partial between two frequencies: where, and how strong.
std::pair<double, double> strongestBetween(const Samples& s, double low, double high) {
    std::pair<double, double> best{low, 0};
    for (double hz = low; hz <= high; hz += 0.5) {
        if (const double m = magnitudeAt(s, hz); m > best.second) best = {hz, m};
    }
    return best;
}

struct SynthTest : ::testing::Test {
    void SetUp() override {
        if (!fs::exists(kGm)) GTEST_SKIP() << "the General MIDI SoundFont is not installed";
        synth.prepareInBackground();  // as the program starts it
        midi.CheckMidiDevice();
        ASSERT_TRUE(midi.OpenMidiOut(kMidiMapper));
    }
    FluidSynthService synth{SynthConfig{{kGm}, false, {kRate, 256, 2}}};
    testing::RecordingUi ui;
    Module1 midi{synth, ui};

    Samples render(double seconds) {
        const int frames = static_cast<int>(seconds * kRate);
        Samples left(frames), right(frames);
        synth.render(left.data(), right.data(), frames);
        return left;
    }
    Samples play(std::int16_t note) {
        midi.NoteOn(0, note, 100);
        Samples sound = render(0.5);
        midi.NoteOff(0, note);
        render(3);  // the tail dies away
        return sound;
    }
};

TEST_F(SynthTest, NotesSoundAtTheirPitchAndStopAndAClosedPortSaysSo) {
    const std::pair<std::int16_t, double> cases[] = {
        {60, 261.63}, {36, 65.41}, {71, 493.88}, {95, 1975.53}};
    for (const auto& [note, hz] : cases) {
        const Samples sound = play(note);
        const auto [partial, strength] = strongestBetween(sound, hz * 0.75, hz * 1.3);
        EXPECT_NEAR(partial, hz, hz * 0.01) << note;
        // A note an octave low has a partial at `hz` too, its second; its first lies an octave
        // below, where the right note sounds nothing.
        EXPECT_LT(strongestBetween(sound, hz * 0.47, hz * 0.53).second, strength / 10)
            << note << " sounds an octave low";
    }
    midi.NoteOn(0, 60, 100);
    ASSERT_GT(rms(render(0.5), 0, kRate / 2), 1e-3);
    midi.NoteOff(0, 60);
    const Samples after = render(2.0);
    EXPECT_LT(rms(after, after.size() - kRate / 10, after.size()), 1e-4);
    EXPECT_TRUE(ui.boxes.empty());
    midi.CloseMidiOut();
    midi.NoteOn(0, 60, 100);
    EXPECT_EQ(ui.boxes, std::vector<std::string>{"MIDI 输出端口没有打开。"});
    char tiny[8];
    synth.errorText(FluidSynthService::kAudioLost, tiny, sizeof tiny);
    EXPECT_EQ(std::string(tiny), "音频") << "a short buffer is cut at a character boundary";
}

// A RIFF chunk: its id, its size, its body, and a pad byte after a body of odd size.
std::string chunk(const std::string& id, const std::string& body) {
    std::string bytes = id;
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(body.size() >> shift);
    return bytes + body + (body.size() % 2 ? std::string(1, '\0') : "");
}
std::string riff(const std::string& parts) { return chunk("RIFF", "sfbk" + parts); }
std::string list(const std::string& kind, const std::string& body = "") {
    return chunk("LIST", kind + body);
}

struct Failure {
    const char* name;
    std::function<std::int32_t(const fs::path&)> run;  // the result of the device query
    std::int32_t result;
    std::string cause;  // what the log must say; "$" stands for the file
};

std::int32_t query(SynthConfig config, bool inBackground = false) {
    FluidSynthService service(std::move(config));
    if (inBackground) service.prepareInBackground();
    return service.queryDefaultOutput();
}

std::function<std::int32_t(const fs::path&)> file(std::string bytes) {
    return [bytes](const fs::path& p) {
        std::ofstream(p, std::ios::binary) << bytes;
        return query(SynthConfig{{p.string()}, false, {}}, bytes.size() % 2 == 0);
    };
}

TEST(SynthFailures, EachNamesItsCause) {
    const std::string parts = list("INFO") + list("sdta") + list("pdta");
    const std::string oddInfo = list("INFO", "x") + list("sdta") + list("pdta");
    const Failure cases[] = {
        {"missing",
         [](const fs::path& p) {
             return query(SynthConfig{{p.string()}, false, {}});
         },
         FluidSynthService::kNoSoundFont, "no SoundFont file found; looked for: $"},
        {"a folder",
         [](const fs::path& p) {
             fs::create_directory(p);
             return query(SynthConfig{{p.string()}, false, {}});
         },
         FluidSynthService::kNoSoundFont, "looked for: $"},
        {"empty", file(""), FluidSynthService::kBadSoundFont, "$: the file has 0 bytes"},
        {"a MIDI file", file("MThd, a MIDI file, not a SoundFont"),
         FluidSynthService::kBadSoundFont, "$: no RIFF sfbk header at offset 0"},
        {"cut short", file(riff(parts + list("INFO", std::string(1000, 'x'))).substr(0, 48)),
         FluidSynthService::kBadSoundFont,
         "$: the RIFF header at offset 4 gives 1060 bytes, the file has 48"},
        {"not a LIST", file(riff("JUNK" + parts.substr(4))), FluidSynthService::kBadSoundFont,
         "$: the part at offset 12 is not a LIST chunk"},
        {"a part past the end", file(riff(parts.substr(0, 4) + "\xff" + parts.substr(5))),
         FluidSynthService::kBadSoundFont, "$: the part at offset 12 claims 255 bytes"},
        {"a part missing", file(riff(list("INFO") + list("pdta"))),
         FluidSynthService::kBadSoundFont,
         "its parts are \"INFOpdta\" instead of INFO, sdta, pdta"},
        {"an odd-sized part and its pad byte", file(riff(oddInfo)), FluidSynthService::kOk,
         "using $"},
        {"the loader throws",
         [](const fs::path&) {
             SynthConfig config{{}, false, {}};
             config.find = [](const auto&) -> std::string {
                 throw std::runtime_error("disk on fire");
             };
             return query(config, true);
         },
         FluidSynthService::kSynthFailed, "loading the synthesizer failed: disk on fire"},
        {"no audio server, no sound card",
         [](const fs::path& p) {
             std::ofstream(p) << "";
             setenv("PULSE_SERVER", "unix:/nonexistent/velune/native", 1);
             setenv("ALSA_CONFIG_PATH", p.c_str(), 1);
             return query(SynthConfig{{kGm}, true, {}});
         },
         FluidSynthService::kNoAudioOutput, "no audio output"},
    };
    const fs::path dir = fs::temp_directory_path() / ("velune-sf-" + std::to_string(getpid()));
    fs::create_directories(dir);
    int n = 0;
    for (const Failure& c : cases) {
        const fs::path path = dir / ("case" + std::to_string(n++) + ".sf2");
        testing::CapturedLog log;
        EXPECT_EQ(c.run(path), c.result) << c.name;
        std::string cause = c.cause;
        if (const auto at = cause.find('$'); at != std::string::npos)
            cause.replace(at, 1, path.string());
        EXPECT_NE(log.all().find(cause), std::string::npos) << c.name << ", logged:\n" << log.all();
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace velune
