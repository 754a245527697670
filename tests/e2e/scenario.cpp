#include "scenario.h"

#include <algorithm>
#include <sstream>
#include <thread>

namespace velune::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// From a key going down to its note starting: the program's reaction, its audio buffers and
// the audio server's, with room for a busy machine.
constexpr auto kEarliestNote = -20ms;
constexpr auto kLatestNote = 300ms;

std::size_t samplesOf(std::chrono::milliseconds duration) {
    return static_cast<std::size_t>(duration.count()) * kSampleRate / 1000;
}

double secondsOf(std::ptrdiff_t samples) { return static_cast<double>(samples) / kSampleRate; }

}  // namespace

std::string describe(const std::vector<HeardNote>& heard) {
    std::ostringstream out;
    for (const HeardNote& note : heard) {
        out << ' ' << (note.midi ? std::to_string(*note.midi) : "?") << '@'
            << secondsOf(static_cast<std::ptrdiff_t>(note.onset));
    }
    return out.str();
}

void Scenario::SetUp() {
    firstSample_ = recorder().size();
    program_.emplace(rig());
    ASSERT_TRUE(program_->waitForMainWindow())
        << "no active window titled " << kMainWindowTitle << "\n" << program_->log();
}

void Scenario::TearDown() {
    if (HasFailure() && program_) std::cout << "program output:\n" << program_->log() << '\n';
    program_.reset();
    if (HasFailure()) {
        // What the test heard, for a person to listen to.
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(test->test_suite_name()) + "." + test->name() + ".wav";
        std::replace(name.begin(), name.end(), '/', '_');
        const std::filesystem::path wav = rig().config().artifacts / name;
        saveWav(wav, recorder().slice(firstSample_, recorder().size()));
        std::cout << "recording: " << wav.string() << '\n';
    }
}

std::vector<KeyStroke> Scenario::play(const std::vector<std::string>& keys,
                                      std::chrono::milliseconds spacing,
                                      std::chrono::milliseconds hold) {
    std::vector<KeyStroke> strokes;
    const auto start = Clock::now() + 20ms;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::this_thread::sleep_until(start + i * spacing);
        strokes.push_back({keys[i], recorder().indexNow()});
        x().keyDown(keys[i]);
        std::this_thread::sleep_for(hold);
        x().keyUp(keys[i]);
    }
    return strokes;
}

std::vector<HeardNote> Scenario::listen(std::size_t from, std::chrono::milliseconds after) {
    std::this_thread::sleep_for(after);
    const std::size_t to = recorder().indexNow();
    recorder().waitFor(to, 5s);
    const std::vector<float> sound = recorder().slice(from, to);
    // The program's audio output may run dry now and then; the ears cut those gaps out, but
    // many of them garble the sound.
    dropouts_ = findDropouts(sound).size();
    if (dropouts_ > 0) {
        std::cout << dropouts_ << " dropouts in " << secondsOf(static_cast<std::ptrdiff_t>(to - from))
                  << " s of sound\n";
    }
    std::vector<HeardNote> heard = transcribe(sound);
    for (HeardNote& note : heard) note.onset += from;
    return heard;
}

void Scenario::expectNotes(const std::vector<KeyStroke>& strokes, const std::vector<HeardNote>& heard,
                           const std::vector<int>& pitches) {
    ASSERT_EQ(heard.size(), strokes.size())
        << "heard:" << describe(heard) << "\n(" << dropouts_ << " dropouts in the sound)";
    for (std::size_t i = 0; i < strokes.size(); ++i) {
        const auto lag = static_cast<std::ptrdiff_t>(heard[i].onset) -
                         static_cast<std::ptrdiff_t>(strokes[i].mark);
        EXPECT_GE(lag, -static_cast<std::ptrdiff_t>(samplesOf(-kEarliestNote)))
            << "note " << i << " (" << strokes[i].key << ") began before its key";
        EXPECT_LE(lag, static_cast<std::ptrdiff_t>(samplesOf(kLatestNote)))
            << "note " << i << " (" << strokes[i].key << ") began " << secondsOf(lag)
            << " s after its key";
        EXPECT_EQ(heard[i].midi, std::optional<int>(pitches.at(i)))
            << "note " << i << " (" << strokes[i].key << ")";
    }
}

std::vector<float> Scenario::recorded(std::size_t from, std::size_t to) {
    recorder().waitFor(to, 5s);
    return recorder().slice(from, to);
}

std::vector<float> Scenario::lastSound(std::chrono::milliseconds duration) {
    const std::size_t now = recorder().indexNow();
    return recorded(now - std::min(now, samplesOf(duration)), now);
}

bool Scenario::soundingNow() { return !isSilent(removeDropouts(lastSound(200ms)).samples); }

bool Scenario::soundsAfter(std::size_t mark, std::chrono::milliseconds within) {
    const std::optional<std::size_t> sound = recorder().waitForSound(mark, within + 500ms);
    return sound && *sound <= mark + samplesOf(within);
}

bool Scenario::keyPlays(const std::string& key) {
    const std::vector<KeyStroke> stroke = play({key});
    return soundsAfter(stroke.front().mark);
}

void Scenario::rest() {
    x().tap("space");
    EXPECT_TRUE(recorder().waitForSilence(recorder().indexNow(), 200ms, 4s))
        << "the note did not fall silent after a rest";
}

void Scenario::clickClient(XWindow window, int clientX, int clientY, int button) {
    const ScreenRect client = x().clientRect(window);
    x().click(client.x + clientX, client.y + clientY, button);
}

}  // namespace velune::e2e
