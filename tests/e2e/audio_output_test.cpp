// The synthesizer and its audio output under every thread they run on: loading in the
// background while the window's thread waits, the audio thread rendering, resting and waking,
// and the server dying and coming back while messages arrive; the note that wakes the resting
// stream is heard; a note started over a sounding one joins it without a click; a server that
// comes back after ALSA had to do is taken up again. On PulseAudio, and on PipeWire with
// VELUNE_E2E_SERVER=pipewire. Built with ThreadSanitizer in the test command, where a data race
// between these threads ends the test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "audio/audio_output.h"
#include "audio_analysis.h"
#include "audio_core/render_source.h"
#include "audio_core/rest_watch.h"
#include "audio_server.h"
#include "recorder.h"
#include "recording_midi.h"
#include "synth/fluidsynth_service.h"

namespace velune {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t noteOn(std::uint32_t note) {
    return testing::shortMessage(0x90, note, 100);
}
constexpr std::uint32_t noteOff(std::uint32_t note) { return testing::shortMessage(0x80, note, 0); }

// A tone whose own sound never jumps: a "note" glides it to a fifth higher, three times as loud,
// over 5 ms. Any jump in what is heard is the output's.
class Tone : public RenderSource {
  public:
    static constexpr double kQuiet = 0.1, kLoud = 0.3;
    void render(float* data, std::size_t frames) override {
        const bool struck = struck_;
        for (std::size_t i = 0; i < frames; ++i) {
            if (struck) {
                const double step = 1.0 / (0.005 * rate_);
                frequency_ = std::min(330.0, frequency_ + 110 * step);
                amplitude_ = std::min(kLoud, amplitude_ + (kLoud - kQuiet) * step);
            }
            phase_ = std::fmod(phase_ + 2 * std::numbers::pi * frequency_ / rate_,
                               2 * std::numbers::pi);
            data[2 * i] = data[2 * i + 1] = static_cast<float>(amplitude_ * std::sin(phase_));
        }
    }
    void setRate(unsigned rate) override { rate_ = rate; }
    // Any note-on strikes it.
    void play(std::uint32_t message) override { struck_ = struck_ || (message & 0xF0) == 0x90; }

  private:
    bool struck_ = false;
    double rate_ = 48000, phase_ = 0, frequency_ = 220, amplitude_ = kQuiet;
};

// The largest step from one sample to the next.
float largestStep(const std::vector<float>& samples) {
    float largest = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        largest = std::max(largest, std::abs(samples[i] - samples[i - 1]));
    return largest;
}

class Environment {
  public:
    explicit Environment(const char* name) : work_(fs::temp_directory_path() / (std::string(name) + std::to_string(getpid()))) {
        fs::create_directories(work_);
    }
    ~Environment() { fs::remove_all(work_); }
    const fs::path& work() const { return work_; }
    // Clients of the process reach `server` and nothing else.
    void reach(const rig::AudioServer& server) const {
        setenv("PULSE_SERVER", server.address().c_str(), 1);
        setenv("PULSE_CLIENTCONFIG", (work_ / "pulse-client.conf").c_str(), 1);
        setenv("PIPEWIRE_RUNTIME_DIR", server.pipewireSocket().parent_path().c_str(), 1);
    }

  private:
    fs::path work_;
};

TEST(AudioOutput, ANoteStartedOverASoundingOneJoinsItWithoutAClick) {
    if (rig::serverFromEnvironment() == rig::ServerKind::PipeWire)
        GTEST_SKIP() << "PipeWire takes no write over what it holds: nothing is joined";
    Environment environment("velune-splice-");
    rig::AudioServer server(environment.work(), rig::serverFromEnvironment());
    environment.reach(server);
    setenv("ALSA_CONFIG_PATH", "/dev/null", 1);
    const rig::Recorder recorder(server);
    Tone tone;
    AudioOutput output(AudioFormat{});
    ASSERT_TRUE(output.start(tone));
    std::this_thread::sleep_for(1s);  // the queue full of the quiet tone
    const std::size_t struck = recorder.indexNow();
    output.message(0x90 | 60 << 8 | 100 << 16);
    std::this_thread::sleep_for(500ms);
    const auto at = [&](std::chrono::milliseconds offset) {
        return static_cast<std::size_t>(static_cast<std::ptrdiff_t>(struck) +
                                        offset.count() * rig::kSampleRate / 1000);
    };
    ASSERT_TRUE(recorder.waitFor(at(400ms), 5s));
    // Where the new sound joins the old, a few milliseconds after the strike (the recording's
    // clock is known to a few milliseconds).
    const std::vector<float> join = recorder.slice(at(-50ms), at(100ms));
    // A 330 Hz tone at 0.3 steps by 0.0124 at most at 50 kHz.
    EXPECT_LT(largestStep(join), 2.5f * 0.0124f) << "the new sound jumps where it joins the old";
    EXPECT_TRUE(recorder.dropouts(at(-50ms), at(100ms)).empty());
    // The tone sounds from the start of what is listened to: that is one onset, the strike the
    // other.
    const std::vector<rig::HeardNote> notes = rig::transcribe(recorder.slice(at(-300ms), at(400ms)));
    EXPECT_EQ(notes.size(), 2u) << "one strike, heard once";
    EXPECT_GT(rig::rms(recorder.slice(at(50ms), at(400ms))), 0.15) << "the louder tone sounds";
    // It swells past the quiet tone 1.25 ms into its glide: soon after the strike, not after the
    // 20-40 ms queued before it.
    const auto swell = std::find_if(join.begin(), join.end(),
                                    [](float s) { return std::abs(s) > 1.5 * Tone::kQuiet; });
    ASSERT_NE(swell, join.end());
    const double swellMs = 1000.0 * static_cast<double>(swell - join.begin()) / rig::kSampleRate - 50;
    EXPECT_LT(swellMs, 15) << "the strike waited behind the queued sound";
    output.stop();
}

TEST(AudioOutput, TakesTheServerUpAgainWhenItComesBackAfterAlsa) {
    Environment environment("velune-alsa-");
    // No server yet, and ALSA's default device one that plays into nothing.
    setenv("PULSE_SERVER", "unix:/nonexistent/velune/native", 1);
    setenv("PIPEWIRE_REMOTE", "velune-no-such-daemon", 1);
    std::ofstream(environment.work() / "asound.conf") << "pcm.!default { type null }\n";
    setenv("ALSA_CONFIG_PATH", (environment.work() / "asound.conf").c_str(), 1);
    Tone tone;
    AudioOutput output(AudioFormat{});
    ASSERT_TRUE(output.start(tone));
    EXPECT_EQ(output.kind(), BackendKind::Alsa);
    EXPECT_TRUE(output.playing());

    rig::AudioServer server(environment.work(), rig::serverFromEnvironment());
    environment.reach(server);
    unsetenv("PIPEWIRE_REMOTE");
    const auto deadline = std::chrono::steady_clock::now() + AudioOutput::kProbeInterval + 5s;
    while (output.playing() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    ASSERT_FALSE(output.playing()) << "the server that came back was not seen";
    const rig::Recorder recorder(server);
    ASSERT_TRUE(output.start(tone));
    EXPECT_NE(output.kind(), BackendKind::Alsa);
    const std::size_t from = recorder.indexNow();
    std::this_thread::sleep_for(500ms);
    EXPECT_GT(rig::rms(recorder.slice(from, recorder.indexNow())), 0.02)
        << "the tone plays through the server";
    output.stop();
    unsetenv("ALSA_CONFIG_PATH");
}

TEST(AudioOutput, PlaysRestsWakesAndOutlivesItsServer) {
    const fs::path work = fs::temp_directory_path() / ("velune-audio-" + std::to_string(getpid()));
    fs::create_directories(work);
    rig::AudioServer server(work, rig::serverFromEnvironment());
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (work / "pulse-client.conf").c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", server.pipewireSocket().parent_path().c_str(), 1);
    setenv("ALSA_CONFIG_PATH", "/dev/null", 1);  // no sound card to fall back to

    // At rest after a second, not ten: what comes to rest is the same (RestWatch counts it).
    AudioFormat format;
    format.restAfter = 1s;
    FluidSynthService synth(SynthConfig{defaultSoundFonts(), true, format});
    synth.prepareInBackground();
    ASSERT_EQ(synth.queryDefaultOutput(), FluidSynthService::kOk);
    std::uint32_t handle = 0;
    ASSERT_EQ(synth.open(handle, -1), FluidSynthService::kOk);

    // A short phrase, then long enough at rest for the stream to pause, then a note wakes it.
    for (int note : {60, 64, 67}) {
        EXPECT_EQ(synth.sendShortMessage(handle, noteOn(note)), FluidSynthService::kOk);
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(synth.sendShortMessage(handle, noteOff(note)), FluidSynthService::kOk);
    }
    std::this_thread::sleep_for(format.restAfter + 1500ms);
    {
        const rig::Recorder recorder(server);
        const std::size_t woken = recorder.indexNow();
        EXPECT_EQ(synth.sendShortMessage(handle, noteOn(72)), FluidSynthService::kOk);
        std::this_thread::sleep_for(300ms);
        const std::vector<rig::HeardNote> heard =
            rig::transcribe(recorder.slice(woken, recorder.indexNow()));
        ASSERT_FALSE(heard.empty()) << "the note that woke the stream was not heard";
        EXPECT_EQ(heard.front().midi, 72);
    }

    // The server dies while the note sounds: the output says so from the next messages on...
    server.kill();
    std::int32_t result = FluidSynthService::kOk;
    for (auto end = std::chrono::steady_clock::now() + 3s;
         result == FluidSynthService::kOk && std::chrono::steady_clock::now() < end;) {
        result = synth.sendShortMessage(handle, noteOff(72));
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(result, FluidSynthService::kAudioLost);
    // ...and plays again once a server is back on the same address.
    server.restart();
    EXPECT_EQ(synth.sendShortMessage(handle, noteOn(60)), FluidSynthService::kOk);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(synth.close(handle), FluidSynthService::kOk);
    fs::remove_all(work);
}

}  // namespace
}  // namespace velune
