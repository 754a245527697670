// The recording: played back by FluidSynth's own MIDI file player it sounds like the
// performance, note for note and within a few milliseconds; a failed or killed save never
// leaves a torn file under the recording's name.

#include <fluidsynth.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#include "recording/midi_file_recorder.h"
#include "recording_midi.h"
#include "support/atomic_file.h"

namespace velune {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::shortMessage;

constexpr int kRate = 48000;
constexpr int kSamplesPerMs = kRate / 1000;
// FluidSynth's player sends an event at the start of the next block of 64 frames after its time,
// so every note of a file sounds that much later than one sent at its exact moment.
constexpr int kPlayerLag = 64;

struct Scratch {
    fs::path dir = fs::temp_directory_path() / ("velune-rec-" + std::to_string(getpid()));
    Scratch() { fs::create_directories(dir); }
    ~Scratch() { fs::remove_all(dir); }
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The channel messages of a whole format 0 file, or nothing when any byte is out of place.
std::optional<std::vector<std::uint32_t>> readMidiFile(const std::string& f) {
    if (f.size() < 22 || f.compare(0, 4, "MThd") != 0 ||
        f.compare(8, 6, "\0\0\0\1\3\xE8", 6) != 0 || f.compare(14, 4, "MTrk") != 0) {
        return std::nullopt;
    }
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(f.at(i)); };
    if ((std::size_t{byte(18)} << 24 | byte(19) << 16 | byte(20) << 8 | byte(21)) !=
        f.size() - 22) {
        return std::nullopt;
    }
    std::vector<std::uint32_t> messages;
    for (std::size_t i = 22; i < f.size();) {
        while (byte(i++) & 0x80) {  // delta time
        }
        const std::uint8_t status = byte(i);
        if (status == 0xFF) {  // meta event: the end of the track must end the file
            if (byte(i + 1) == 0x2F)
                return i + 3 == f.size() ? std::optional(messages) : std::nullopt;
            i += 3 + byte(i + 2);
            continue;
        }
        const std::size_t size = (status & 0xE0) == 0xC0 ? 2 : 3;
        if (status < 0x80 || i + size > f.size()) return std::nullopt;
        messages.push_back(shortMessage(status, byte(i + 1), size == 3 ? byte(i + 2) : 0));
        i += size;
    }
    return std::nullopt;
}

TEST(AtomicFile, AWriteThatFailsMidwayLeavesTheOldFileWhole) {
    Scratch scratch;
    const fs::path target = scratch.dir / "take.mid";
    std::ofstream(target) << "the take saved before";
    const pid_t child = fork();
    if (child == 0) {  // the disk fills up after 1000 bytes
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string error;
        _exit(writeFileAtomically(target, std::string(5000, 'x'), error) ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a failed write reported as saved";
    EXPECT_EQ(slurp(target), "the take saved before");
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir), {}), 1) << "a temporary is left";
}

struct Played {
    int ms;
    std::uint32_t word;
};

// A melody with a register change and, before it, a pick of the flute (bank 0, program 73).
const std::vector<Played> kTune = {
    {0, 0x2480},     {0, 0x643C90},    {300, 0x3C80}, {300, 0x643E90}, {600, 0x3E80},
    {600, 0x644090}, {900, 0xB0},      {900, 0x49C0}, {1000, 0x4080},  {1000, 0x644D90},
    {1300, 0x4D80},  {1300, 0x644F90}, {1600, 0x4F80}};

// Two seconds of FluidSynth playing `file` with its own MIDI player or, without a file, kTune
// sent straight to the synthesizer at its exact moments.
std::vector<float> render(const char* file) {
    fluid_settings_t* settings = new_fluid_settings();
    fluid_settings_setnum(settings, "synth.sample-rate", kRate);
    fluid_settings_setstr(settings, "player.timing-source", "sample");
    fluid_synth_t* synth = new_fluid_synth(settings);
    fluid_synth_sfload(synth, "/usr/share/sounds/sf2/FluidR3_GM.sf2", 1);
    fluid_player_t* player = new_fluid_player(synth);
    if (file != nullptr) fluid_player_add(player, file);
    fluid_player_play(player);
    std::vector<float> left(2000 * kSamplesPerMs), right(left.size());
    int done = 0;
    for (const Played& p : file != nullptr ? std::vector<Played>{} : kTune) {
        fluid_synth_write_float(synth, p.ms * kSamplesPerMs - done, left.data(), done, 1,
                                right.data(), done, 1);
        done = p.ms * kSamplesPerMs;
        const int status = p.word & 0xF0, data1 = (p.word >> 8) & 0x7F, data2 = p.word >> 16;
        if (status == 0x90) fluid_synth_noteon(synth, 0, data1, data2);
        if (status == 0x80) fluid_synth_noteoff(synth, 0, data1);
        if (status == 0xB0) fluid_synth_cc(synth, 0, data1, data2);
        if (status == 0xC0) fluid_synth_program_change(synth, 0, data1);
    }
    fluid_synth_write_float(synth, 2000 * kSamplesPerMs - done, left.data(), done, 1, right.data(),
                            done, 1);
    delete_fluid_player(player);
    delete_fluid_synth(synth);
    delete_fluid_settings(settings);
    return left;
}

// The shift of `heard` against `played` over 150 ms from `from`, and how alike they are then.
std::pair<int, double> bestMatch(const std::vector<float>& played, const std::vector<float>& heard,
                                 int from) {
    std::pair<int, double> best{0, -1};
    for (int shift = std::max(-8 * kSamplesPerMs, -from); shift <= 8 * kSamplesPerMs; ++shift) {
        double cross = 0, a = 0, b = 0;
        for (int i = from; i < from + 150 * kSamplesPerMs; ++i) {
            cross += played[i] * heard[i + shift];
            a += played[i] * played[i];
            b += heard[i + shift] * heard[i + shift];
        }
        if (const double alike = cross / std::sqrt(a * b + 1e-30); alike > best.second) {
            best = {shift, alike};
        }
    }
    return best;
}

TEST(MidiFileRecorder, TheRecordingPlaysBackLikeThePerformance) {
    Scratch scratch;
    const fs::path file = scratch.dir / "take.mid";
    auto now = std::chrono::steady_clock::time_point(5s);  // the take starts at its first message
    std::string error;
    auto recorder = MidiFileRecorder::start(file, error, 1h, [&] { return now; });
    ASSERT_NE(recorder, nullptr) << error;
    for (const Played& p : kTune) {
        now = std::chrono::steady_clock::time_point(5s + std::chrono::milliseconds(p.ms));
        recorder->send(p.word);
    }
    recorder->flush();

    const std::vector<float> played = render(nullptr), heard = render(file.c_str());
    for (const Played& p : kTune) {
        if ((p.word & 0xF0) != 0x90) continue;
        SCOPED_TRACE("note " + std::to_string((p.word >> 8) & 0x7F) + " at " +
                     std::to_string(p.ms));
        const auto [shift, alike] = bestMatch(played, heard, p.ms * kSamplesPerMs);
        EXPECT_GT(alike, 0.95);
        EXPECT_LE(std::abs(shift - kPlayerLag), kSamplesPerMs / 2)
            << "timed to the half millisecond";
    }
}

TEST(MidiFileRecorder, AKilledTakeLeavesACompleteEarlierVersion) {
    Scratch scratch;
    const fs::path file = scratch.dir / "take.mid";
    std::vector<std::uint32_t> tune;
    for (int i = 0; i < 400; ++i)
        tune.push_back(shortMessage(i % 2 ? 0x80 : 0x90, 60 + i / 2 % 12, i % 2 ? 0 : 100));
    const pid_t child = fork();
    if (child == 0) {
        std::string error;
        auto recorder = MidiFileRecorder::start(file, error, 50ms);
        for (std::uint32_t word : tune) {
            recorder->send(word);
            std::this_thread::sleep_for(5ms);
        }
        pause();  // killed before the tune ends, or here at the latest
    }
    // Kill it once some of the tune was saved; every look on the way finds a whole file.
    std::optional<std::vector<std::uint32_t>> seen = std::vector<std::uint32_t>{};
    for (auto end = std::chrono::steady_clock::now() + 10s;
         seen && seen->size() < 20 && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(1ms);
        if (fs::exists(file)) seen = readMidiFile(slurp(file));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(seen.has_value()) << "a torn file under the recording's name";

    const auto messages = readMidiFile(slurp(file));
    ASSERT_TRUE(messages.has_value());
    ASSERT_GE(messages->size(), 20u);
    EXPECT_TRUE(std::equal(messages->begin(), messages->end(), tune.begin()));
}

}  // namespace
}  // namespace velune
