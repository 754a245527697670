// The synthesizer and its audio output under every thread they run on: loading in the
// background while the window's thread waits, the audio thread rendering, resting and waking,
// and the server dying and coming back while messages arrive; the note that wakes the resting
// stream is heard. On PulseAudio, and on PipeWire with VELUNE_E2E_SERVER=pipewire. Built with
// ThreadSanitizer in the test command, where a data race between these threads ends the test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "audio_analysis.h"
#include "audio_server.h"
#include "fluidsynth_service.h"
#include "recorder.h"
#include "recording_midi.h"
#include "render_thread.h"

namespace velune {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint32_t noteOn(std::uint32_t note) {
    return testing::shortMessage(0x90, note, 100);
}
constexpr std::uint32_t noteOff(std::uint32_t note) { return testing::shortMessage(0x80, note, 0); }

TEST(AudioOutput, PlaysRestsWakesAndOutlivesItsServer) {
    const fs::path work = fs::temp_directory_path() / ("velune-audio-" + std::to_string(getpid()));
    fs::create_directories(work);
    rig::AudioServer server(work, rig::serverFromEnvironment());
    setenv("PULSE_SERVER", server.address().c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (work / "pulse-client.conf").c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", server.pipewireSocket().parent_path().c_str(), 1);
    setenv("ALSA_CONFIG_PATH", "/dev/null", 1);  // no sound card to fall back to

    FluidSynthService synth(SynthConfig{defaultSoundFonts(), true, {}});
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
    std::this_thread::sleep_for(RestWatch::kQuietStretch + 1500ms);
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
