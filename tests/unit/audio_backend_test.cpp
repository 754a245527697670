// The audio room's threads without a sound server: a server that is not there, or does not
// answer, means no output within the time limit rather than a hang; what the real-time threads
// say reaches the log whole; and the rest begins and ends once, whichever thread gets there first.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/cycle_watch.h"
#include "audio/pipewire_backend.h"
#include "audio/pulse_backend.h"
#include "audio_core/log_relay.h"
#include "audio_core/stream_driver.h"
#include "silence.h"

namespace velune {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using testing::Silence;

TEST(AudioServer, OneThatIsNotThereOrDoesNotAnswerMeansNoOutputInTime) {
    const std::filesystem::path socket =
        std::filesystem::temp_directory_path() / ("velune-mute-" + std::to_string(getpid()));
    // A server that takes the connection and never says a word, as one stopped by SIGSTOP.
    const int mute = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(mute, 4), 0);
    const struct {
        const char* name;
        std::string server;
    } cases[] = {
        {"no server", "unix:/nonexistent/velune/native"},
        {"a server that does not answer", "unix:" + socket.string()},
    };
    for (const auto& c : cases) {
        setenv("PULSE_SERVER", c.server.c_str(), 1);
        const auto start = Clock::now();
        EXPECT_EQ(PulseBackend::connect(300ms, true), nullptr) << c.name;
        EXPECT_LT(Clock::now() - start, 1300ms) << c.name << ": waited past the time limit";
    }
    unsetenv("PULSE_SERVER");
    close(mute);
    std::filesystem::remove(socket);

    setenv("PIPEWIRE_REMOTE", "velune-no-such-daemon", 1);
    Silence silence;
    LogRelay relay;
    StreamDriver driver(silence, 48000, BufferPolicy({128, 3}, false, Clock::now()), relay);
    EXPECT_EQ(PipeWireBackend::open(driver), nullptr);
    unsetenv("PIPEWIRE_REMOTE");
}

std::mutex linesMutex;
std::vector<std::string> lines;
void recordLine(LogArea, LogLevel, const std::string& text) {
    std::lock_guard lock(linesMutex);
    lines.push_back(text);
}

TEST(LogRelay, SaysEverythingThatRealTimeThreadsPostInTheirOrder) {
    constexpr int kThreads = 3, kEvents = 20;  // within the relay's room, if it keeps up
    static const char* const kNames[kThreads] = {"a", "b", "c"};
    setLogSink(recordLine);
    lines.clear();
    {
        LogRelay relay;
        std::vector<std::thread> posters;
        for (int t = 0; t < kThreads; ++t) {
            posters.emplace_back([&relay, t] {
                for (int i = 0; i < kEvents; ++i) {
                    AudioEvent event;
                    event.kind = AudioEvent::Kind::Buffer;
                    event.text = kNames[t];
                    event.setting = {static_cast<unsigned>(i + 1), 3};
                    event.rate = 50000;
                    while (!relay.post(event)) std::this_thread::yield();
                }
            });
        }
        for (std::thread& poster : posters) poster.join();
    }  // the relay says what is left before it ends
    setLogSink(nullptr);
    ASSERT_EQ(lines.size(), std::size_t{kThreads * kEvents});
    for (int t = 0; t < kThreads; ++t) {
        int next = 1;
        for (const std::string& line : lines) {
            if (line.rfind(std::string(kNames[t]) + ":", 0) != 0) continue;
            EXPECT_EQ(line, std::string(kNames[t]) + ": buffer " + std::to_string(next) +
                                "x3 at 50000 Hz");
            ++next;
        }
        EXPECT_EQ(next, kEvents + 1) << kNames[t];
    }
}

constexpr std::uint32_t kNote = 0x90 | 60 << 8 | 100 << 16;  // a note-on, channel 1
constexpr std::uint32_t kVolume = 0xB0 | 7 << 8 | 90 << 16;  // a control change

TEST(StreamDriver, TheRestBeginsAndEndsOnceWhicheverThreadComesFirst) {
    using Posted = StreamDriver::Posted;
    Silence silence;
    LogRelay relay;
    StreamDriver driver(silence, 48000, BufferPolicy({128, 3}, false, Clock::now()), relay);
    driver.setRewrites(true);
    // No message yet: the rest begins; a message then ends it, once, and asks for a kick.
    EXPECT_TRUE(driver.beginRest());
    EXPECT_FALSE(driver.endRest()) << "no message has come";
    EXPECT_EQ(driver.post(kVolume), Posted::Kick) << "a message at rest wakes the backend";
    EXPECT_TRUE(driver.endRest());
    EXPECT_FALSE(driver.endRest()) << "the rest ends once";
    EXPECT_EQ(driver.post(kVolume), Posted::Queued) << "playing, a message that is no note";
    EXPECT_EQ(driver.post(kNote), Posted::Kick) << "a note to carry into the queue";
    // A message between the render that found the rest and the rest itself: no rest.
    std::vector<float> period(256);
    driver.render(period.data(), 128);
    driver.post(kVolume);
    EXPECT_FALSE(driver.beginRest());
    EXPECT_FALSE(driver.resting());
}

// What the source took in and rendered, in order: n a note, c another message, r a render.
struct Witness : Silence {
    void render(float* data, std::size_t frames) override {
        Silence::render(data, frames);
        seen += 'r';
    }
    void play(std::uint32_t message) override { seen += message == kNote ? 'n' : 'c'; }
    std::string seen;
};

// The source takes each message in on the rendering thread, just before a render. Where the
// backend renders its queue again, a note is taken in only when it is carried into the queue
// (takeChange()), never by a render at the end of the queue: the rewrite goes on from where the
// source had got to, and would cut the start of a note rendered there away, or the note would
// wait behind the whole queue. Each row: N a note posted, C another message, R a render, t/f what
// takeChange() says.
TEST(StreamDriver, TheSourceTakesEachMessageInJustBeforeTheRenderThatSoundsIt) {
    const struct {
        const char* name;
        bool rewrites;
        const char* steps;
        const char* seen;
    } cases[] = {
        {"a note waits for its carry, not for a render", true, "NRtR", "rnr"},
        {"a message that is no note carries nothing", true, "CfR", "cr"},
        {"a note and the message before it, in order", true, "CNtR", "cnr"},
        {"nothing new", true, "NtRf", "nr"},
        {"a plain stream: each render takes in what came first", false, "NCRNR", "ncrnr"},
    };
    for (const auto& c : cases) {
        Witness witness;
        LogRelay relay;
        StreamDriver driver(witness, 48000, BufferPolicy({128, 3}, false, Clock::now()), relay);
        driver.setRewrites(c.rewrites);
        std::vector<float> period(256);
        for (const char* step = c.steps; *step != '\0'; ++step) {
            switch (*step) {
                case 'N':
                    driver.post(kNote);
                    break;
                case 'C':
                    driver.post(kVolume);
                    break;
                case 'R':
                    driver.render(period.data(), 128);
                    break;
                default:
                    EXPECT_EQ(driver.takeChange(), *step == 't')
                        << c.name << ", step " << step - c.steps;
            }
        }
        EXPECT_EQ(witness.seen, c.seen) << c.name;
    }
}

// A server that hangs while the player plays on fills the queue: what cannot be queued is lost,
// a note's end perhaps, so once rendering resumes everything that sounds is silenced.
TEST(StreamDriver, AFullQueueSilencesEveryChannelOnceRenderingResumes) {
    struct Channels : Silence {
        void play(std::uint32_t message) override {
            if ((message & 0xF0) == 0xB0 && (message >> 8 & 0x7F) == 120)
                silenced.set(message & 0x0F);
            else
                ++taken;
        }
        std::bitset<16> silenced;
        std::size_t taken = 0;
    } source;
    LogRelay relay;
    StreamDriver driver(source, 48000, BufferPolicy({128, 3}, false, Clock::now()), relay);
    for (std::size_t i = 0; i < MessageQueue::kCapacity; ++i)
        ASSERT_NE(driver.post(kNote), StreamDriver::Posted::Full) << i;
    EXPECT_EQ(driver.post(kNote), StreamDriver::Posted::Full);
    EXPECT_TRUE(driver.takeChange());
    EXPECT_EQ(source.taken, MessageQueue::kCapacity) << "what was queued is played, in order";
    EXPECT_TRUE(source.silenced.all()) << "then every channel is silenced";
    EXPECT_EQ(driver.post(kNote), StreamDriver::Posted::Queued) << "room again";
}

TEST(PipeWireCycle, OnlyACycleThatPassedWithoutUsCounts) {
    struct Cycle {
        std::uint64_t ticks;
        std::size_t frames;
        bool restedBefore = false;
    };
    const struct {
        const char* name;
        double ticksPerFrame;
        std::vector<Cycle> cycles;
        std::vector<bool> missed;  // for each cycle
    } cases[] = {
        {"cycle after cycle, one a little late",
         1.0,
         {{6400, 64}, {6464, 64}, {6544, 64}, {6592, 64}},
         {false, false, false, false}},
        {"one cycle missed, then several",
         1.0,
         {{6400, 64}, {6528, 64}, {6592, 64}, {6976, 64}},
         {false, true, false, true}},
        {"the clock jumps far (a suspend, another device): taken up afresh, no miss",
         1.0,
         {{6400, 64},
          {6464, 64},
          {96000, 64},
          {96064, 64},
          {96128, 64},
          {96192, 64},
          {96256, 64},
          {96320, 64},
          {96448, 64}},
         {false, false, false, false, false, false, false, false, true}},
        {"a clock that went back (a new driver) is no miss",
         1.0,
         {{96000, 64}, {96064, 64}, {6400, 64}, {6464, 64}},
         {false, false, false, false}},
        {"the quantum grows and the clock jumps as the graph settles",
         1.0,
         {{6400, 128}, {6528, 256}, {6784, 256}, {8064, 256}, {8320, 256}, {8576, 256}},
         {false, false, false, false, false, false}},
        {"a miss once the graph has settled",
         1.0,
         {{6400, 128}, {6528, 64}, {6592, 64}, {6656, 64}, {6720, 64}, {6784, 64}, {6912, 64}},
         {false, false, false, false, false, false, true}},
        {"the clock ran on while the stream rested",
         1.0,
         {{6400, 64}, {7000, 64, true}},
         {false, false}},
        {"the graph at twice the stream's rate",
         2.0,
         {{6400, 64}, {6528, 64}, {6784, 64}},
         {false, false, true}},
        {"the graph at 48 kHz, the stream at 44.1 kHz",
         48000.0 / 44100,
         {{6400, 59}, {6464, 59}, {6528, 59}},
         {false, false, false}},
    };
    for (const auto& c : cases) {
        CycleWatch watch;
        for (std::size_t i = 0; i < c.cycles.size(); ++i) {
            if (c.cycles[i].restedBefore) watch.restart();
            EXPECT_EQ(watch.cycle(c.cycles[i].ticks, c.cycles[i].frames, c.ticksPerFrame),
                      c.missed[i])
                << c.name << ", cycle " << i;
        }
    }
}

}  // namespace
}  // namespace velune
