// The audio output on a real PulseAudio server, without the program around it: the synthesizer
// service plays through its PulseAudio stream into a private null sink, whose monitor is
// recorded. Notes must be heard, also after the output has rested; a held note must keep it
// awake; a server that goes away must be noticed. (Whether the sound has dropouts under load is
// for the benchmark to measure.)

#include <fluidsynth.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "audio_analysis.h"
#include "audio_session.h"
#include "fluidsynth_service.h"
#include "pulse_output.h"

namespace velune::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const kGm = "/usr/share/sounds/sf2/FluidR3_GM.sf2";
constexpr int kChurchOrgan = 20;

std::size_t samplesOf(std::chrono::milliseconds duration) {
    return static_cast<std::size_t>(duration.count()) * kSampleRate / 1000;
}

std::uint32_t message(int status, int data1, int data2 = 0) {
    return static_cast<std::uint32_t>(status | data1 << 8 | data2 << 16);
}

// A private audio server, and this process sent to it.
class PrivateServer {
public:
    PrivateServer() {
        std::string pattern = (fs::temp_directory_path() / "velune-audio-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        directory_ = pattern;
        server_ = std::make_unique<AudioServer>(directory_);
        setenv("PULSE_SERVER", server_->address().c_str(), 1);
        setenv("PULSE_CLIENTCONFIG", server_->clientConfig().c_str(), 1);
    }
    ~PrivateServer() {
        server_.reset();
        unsetenv("PULSE_SERVER");
        unsetenv("PULSE_CLIENTCONFIG");
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }
    AudioServer& server() { return *server_; }
    // Stops the server, as when it crashes or is restarted.
    void stop() { server_.reset(); }

private:
    fs::path directory_;
    std::unique_ptr<AudioServer> server_;
};

class AudioOutput : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kGm)) GTEST_SKIP() << "the General MIDI SoundFont is not installed";
        recorder_ = std::make_unique<Recorder>(server_.server());
        ASSERT_EQ(synth_.open(handle_, -1), FluidSynthService::kOk);
    }

    void send(std::uint32_t m) { ASSERT_EQ(synth_.sendShortMessage(handle_, m), FluidSynthService::kOk); }
    void noteOn(int note) { send(message(0x90, note, 100)); }
    void noteOff(int note) { send(message(0x80, note)); }

    // The pitch of the first note heard from `mark` on, waiting up to a second for it.
    std::optional<int> heardFrom(std::size_t mark) {
        const std::optional<std::size_t> onset = recorder_->waitForSound(mark, std::chrono::seconds(1));
        if (!onset) return std::nullopt;
        recorder_->waitFor(*onset + samplesOf(std::chrono::milliseconds(300)), std::chrono::seconds(2));
        const std::vector<float> sound = recorder_->slice(mark, *onset + samplesOf(std::chrono::milliseconds(300)));
        return notePitch(sound, *onset - mark);
    }

    bool corked() {
        ChildEnvironment environment = ChildEnvironment::inherited();
        server_.server().configure(environment);
        const CommandResult inputs = runCommand({"pactl", "list", "sink-inputs"}, environment);
        return inputs.output.find("Corked: yes") != std::string::npos;
    }

    PrivateServer server_;
    std::unique_ptr<Recorder> recorder_;
    FluidSynthService synth_{SynthConfig{{kGm}, true, {}}};
    std::uint32_t handle_ = 0;
};

TEST_F(AudioOutput, AtRestTheStreamPausesAndTheNextNoteWakesIt) {
    const std::size_t first = recorder_->indexNow();
    noteOn(60);
    EXPECT_EQ(heardFrom(first), 60);
    noteOff(60);
    ASSERT_TRUE(recorder_->waitForSilence(recorder_->indexNow(), std::chrono::milliseconds(200),
                                          std::chrono::seconds(5)));
    // A second without messages and a tenth of a second of silence: the output rests.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!corked() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(corked()) << "the stream still runs after seconds of silence";

    const std::size_t second = recorder_->indexNow();
    noteOn(67);
    EXPECT_EQ(heardFrom(second), 67) << "the note after a rest was not heard";
    EXPECT_FALSE(corked());
    noteOff(67);
}

// A held note sends no messages, but it sounds: the output must not rest under it.
TEST_F(AudioOutput, AHeldNoteKeepsTheOutputAwake) {
    send(message(0xC0, kChurchOrgan));
    noteOn(60);
    const std::optional<std::size_t> onset = recorder_->waitForSound(recorder_->indexNow(), std::chrono::seconds(1));
    ASSERT_TRUE(onset);
    const std::size_t from = *onset + samplesOf(std::chrono::milliseconds(200));
    const std::size_t to = from + samplesOf(std::chrono::seconds(3));
    ASSERT_TRUE(recorder_->waitFor(to, std::chrono::seconds(10)));
    EXPECT_FALSE(corked()) << "the output rests under a held note";
    noteOff(60);
    const std::vector<float> sound = recorder_->slice(from, to);
    const std::size_t window = samplesOf(std::chrono::milliseconds(100));
    for (std::size_t at = 0; at + window <= sound.size(); at += window) {
        ASSERT_FALSE(isSilent(std::span<const float>(sound).subspan(at, window)))
            << "the held note fell silent at " << static_cast<double>(at) / kSampleRate << " s";
    }
}

TEST(AudioServerLoss, AServerThatGoesAwayIsNoticed) {
    PrivateServer server;
    std::unique_ptr<fluid_settings_t, void (*)(fluid_settings_t*)> settings(new_fluid_settings(),
                                                                             delete_fluid_settings);
    std::unique_ptr<fluid_synth_t, void (*)(fluid_synth_t*)> synth(new_fluid_synth(settings.get()),
                                                                   delete_fluid_synth);
    std::unique_ptr<PulseOutput> output = PulseOutput::open(synth.get(), AudioFormat{});
    ASSERT_TRUE(output) << "no output on a running server";
    EXPECT_EQ(output->sinkRate(), static_cast<unsigned>(kSampleRate)) << "not the server's own rate";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(output->lost());

    server.stop();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!output->lost() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(output->lost()) << "the output did not notice that the server went away";
    EXPECT_EQ(PulseOutput::open(synth.get(), AudioFormat{}), nullptr) << "an output without a server";
}

}  // namespace
}  // namespace velune::e2e
