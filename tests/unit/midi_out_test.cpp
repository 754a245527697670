// MIDI out to other programs. On a private JACK server (dummy driver) another client receives
// exactly the messages that the built-in synthesizer got, in the same order; a port that cannot
// be opened leaves the built-in synthesizer playing.

#include <gtest/gtest.h>
#include <rtmidi/RtMidi.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "midi/midi_routing.h"
#include "midi/module1.h"
#include "recording_midi.h"

namespace velune {
namespace {

using namespace std::chrono_literals;
using testing::RecordingService;
using testing::RecordingUi;
using testing::shortMessage;

// The scale with a register change, a pick of the flute and a rest, as the keyboard plays it.
void playScaleAndPick(Module1& midi) {
    midi.OpenMidiOut(kMidiMapper);
    std::int16_t last = 36;
    for (std::int16_t note : {60, 62, 64, 65, 67, 69, 71, 72, 84}) {
        if (note == 72) midi.SetInstrument(0, 0, 73);
        midi.NoteOff(0, last);
        midi.NoteOn(0, note, 100);
        last = note;
    }
    midi.NoteOff(0, last);
    midi.CloseMidiOut();
}

class PrivateJack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string name = "velune-test-" + std::to_string(getpid());
        server_ = fork();
        if (server_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives the tests
            setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
            execlp("jackd", "jackd", "-n", name.c_str(), "-d", "dummy", "-r", "48000", "-p", "256",
                   nullptr);
            _exit(127);
        }
        setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    }
    static void TearDownTestSuite() {
        kill(server_, SIGTERM);
        waitpid(server_, nullptr, 0);
    }
    // The routing with its JACK port, once the server answers.
    static std::unique_ptr<MidiRouting> routeToJack() {
        for (int attempt = 0; attempt < 50; ++attempt) {
            auto routing =
                std::make_unique<MidiRouting>(MidiRouting::Request{MidiOutApi::Jack, true, ""});
            routing->openPort();
            if (!routing->portFailed()) return routing;
            std::this_thread::sleep_for(100ms);
        }
        return nullptr;
    }
    static inline pid_t server_ = -1;
};

TEST_F(PrivateJack, AnotherProgramReceivesWhatTheSynthesizerGetsInOrder) {
    const auto routing = routeToJack();
    ASSERT_NE(routing, nullptr) << "no JACK server";
    RtMidiIn reader(RtMidi::UNIX_JACK, "reader");
    for (unsigned port = 0; port < reader.getPortCount(); ++port) {
        if (reader.getPortName(port) == "Velune:Velune") reader.openPort(port, "in");
    }
    ASSERT_TRUE(reader.isPortOpen()) << "no port Velune:Velune";

    RecordingService synth;
    RecordingUi ui;
    Module1 midi(routing->service(&synth), ui);
    playScaleAndPick(midi);
    ASSERT_EQ(synth.messages.size(), 21u);

    // What the reader gets within 5 s, and nothing more for 50 ms after that.
    std::vector<std::uint32_t> received;
    for (auto end = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < end;) {
        std::vector<unsigned char> m;
        reader.getMessage(&m);
        if (!m.empty()) received.push_back(shortMessage(m[0], m[1], m.size() > 2 ? m[2] : 0));
        if (received.size() == synth.messages.size())
            end = std::min(end, std::chrono::steady_clock::now() + 50ms);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(received, synth.messages);
    EXPECT_TRUE(ui.boxes.empty());
}

struct FailingPort {
    const char* name;
    MidiOutApi api;
};

TEST(MidiOutFailure, APortThatCannotOpenLeavesTheBuiltInSynthesizerPlaying) {
    if (std::filesystem::exists("/dev/snd/seq")) GTEST_SKIP() << "this machine has a sequencer";
    setenv("JACK_DEFAULT_SERVER", ("velune-absent-" + std::to_string(getpid())).c_str(), 1);
    for (const FailingPort& c : {FailingPort{"no ALSA sequencer", MidiOutApi::Alsa},
                                 FailingPort{"no JACK server", MidiOutApi::Jack}}) {
        SCOPED_TRACE(c.name);
        MidiRouting routing({c.api, /*synth=*/false, ""});
        routing.openPort();
        EXPECT_TRUE(routing.portFailed());
        ASSERT_TRUE(routing.synthNeeded());
        RecordingService synth;
        RecordingUi ui;
        Module1 midi(routing.service(&synth), ui);
        midi.OpenMidiOut(kMidiMapper);
        midi.NoteOn(0, 60, 100);
        EXPECT_EQ(synth.messages, std::vector<std::uint32_t>{shortMessage(0x90, 60, 100)});
    }
}

}  // namespace
}  // namespace velune
