#include "scenario.h"

#include <algorithm>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

namespace velune::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// The ears place an onset within 25 ms (their own test) and the recording's clock is known to a
// few milliseconds: a note may seem to start a little before its key.
constexpr auto kEarliestNote = 30ms;

// A stall of the machine explains a dropout that begins up to this long after the stall ended
// (the output's queue, already short, runs dry while it catches up), or that ends up to this long
// before the stall began (the recording's clock is known to a few milliseconds).
constexpr auto kAfterStall = 100ms;
constexpr auto kBeforeStall = 20ms;

double secondsOf(std::ptrdiff_t samples) { return static_cast<double>(samples) / kSampleRate; }

int brightness(Rgb c) { return (c.r + c.g + c.b) / 3; }

}  // namespace

std::string boxText(XSession& x, XWindow box) {
    const Screenshot shot = x.captureDrawn(box);
    int top = shot.height, bottom = 0, left = shot.width, right = 0;
    for (int y = 0; y < shot.height / 2; ++y) {
        for (int column = 0; column < shot.width; ++column) {
            if (brightness(shot.at(column, y)) >= 100) continue;
            top = std::min(top, y), bottom = std::max(bottom, y);
            left = std::min(left, column), right = std::max(right, column);
        }
    }
    if (top >= bottom) return "(no text)";
    const ScreenRect client = x.clientRect(box);
    x.click(client.x + (left + right) / 2, client.y + (top + bottom) / 2, 3);
    return x.primarySelection().value_or("(nothing selected)");
}

void Scenario::SetUp() {
    stallWatch_.emplace(StallWatch::stallMsFor(serverFromEnvironment()));
    firstSample_ = recorder().size();
    program_.emplace(theRig());
    ASSERT_TRUE(program_->waitForWindow()) << "no active window titled " << kMainWindowTitle << "\n"
                                           << program_->log();
}

void Scenario::TearDown() {
    stallWatch_.reset();
    if (!HasFailure()) return;
    if (program_) std::cout << "program output:\n" << program_->log() << '\n';
    // What the test heard, for a person to listen to.
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name() + ".wav";
    std::replace(name.begin(), name.end(), '/', '_');
    const std::filesystem::path wav = std::filesystem::path(VELUNE_E2E_ARTIFACTS) / name;
    std::filesystem::create_directories(wav.parent_path());
    saveWav(wav, recorder().slice(firstSample_, recorder().size()));
    std::cout << "recording: " << wav.string() << '\n';
}

std::vector<KeyStroke> Scenario::play(const std::vector<std::string>& keys,
                                      std::chrono::milliseconds spacing,
                                      std::chrono::milliseconds hold) {
    const std::vector<Injection> presses = x().play(keys, spacing, hold);
    std::vector<KeyStroke> strokes;
    for (std::size_t i = 0; i < keys.size(); ++i)
        strokes.push_back({keys[i], recorder().indexAt(presses[i].at)});
    return strokes;
}

std::vector<Dropout> Scenario::unexplainedDropouts(std::size_t from, std::size_t to) {
    const Stalls stalls = stallWatch_->stalls();
    const std::vector<Dropout> dropouts = recorder().dropouts(from, to);
    std::vector<Dropout> unexplained;
    for (const Dropout& dropout : dropouts) {
        const bool explained =
            std::any_of(stalls.seen.begin(), stalls.seen.end(), [&](const Stall& stall) {
                return recorder().indexAt(stall.due - kBeforeStall) <= dropout.end &&
                       recorder().indexAt(stall.woke + kAfterStall) >= dropout.begin;
            });
        if (!explained) unexplained.push_back(dropout);
    }
    if (unexplained.size() < dropouts.size())
        std::cout << dropouts.size() - unexplained.size() << " dropouts where the machine stalled ("
                  << stalls.count << " stalls, the longest " << stalls.longestMs << " ms)\n";
    if (!stalls.watched)
        std::cout << "the machine's stalls are not watched: no real-time priority\n";
    return unexplained;
}

std::vector<HeardNote> Scenario::listen(std::size_t from, std::chrono::milliseconds after,
                                        std::size_t notesThatMayDropOut, std::optional<Seam> seam) {
    std::this_thread::sleep_for(after);
    const std::size_t to = recorder().indexNow();
    recorder().waitFor(to, 5s);
    std::vector<HeardNote> heard = transcribe(recorder().slice(from, to));
    for (HeardNote& note : heard) note.onset += from;
    if (seam) {
        for (std::size_t i = 1; i < heard.size(); ++i) {
            if (heard[i].onset >= seam->begin && heard[i].onset <= seam->end &&
                heard[i].midi == heard[i - 1].midi) {
                heard.erase(heard.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }

    const std::vector<Dropout> dropouts = unexplainedDropouts(from, to);
    std::set<std::size_t> notesDroppingOut;  // each by the number of notes heard before it
    std::ostringstream where;
    for (const Dropout& dropout : dropouts) {
        notesDroppingOut.insert(
            static_cast<std::size_t>(std::partition_point(heard.begin(), heard.end(),
                                                          [&](const HeardNote& note) {
                                                              return note.onset <= dropout.begin;
                                                          }) -
                                     heard.begin()));
        where << ' ' << (dropout.end - dropout.begin) * 1000.0 / kSampleRate << " ms at "
              << secondsOf(static_cast<std::ptrdiff_t>(dropout.begin));
    }
    EXPECT_LE(notesDroppingOut.size(), notesThatMayDropOut)
        << dropouts.size() << " dropouts while the machine did not stall:" << where.str()
        << "\nheard:" << describe(heard);
    return heard;
}

void Scenario::expectNotes(const std::vector<KeyStroke>& strokes, const std::vector<int>& pitches,
                           std::chrono::milliseconds latest, std::size_t notesThatMayDropOut,
                           std::optional<Seam> seam) {
    const std::vector<HeardNote> heard =
        listen(strokes.front().mark, 500ms, notesThatMayDropOut, seam);
    ASSERT_EQ(heard.size(), strokes.size()) << "heard:" << describe(heard) << "\nkeys:" << [&] {
        std::ostringstream keys;
        for (const KeyStroke& stroke : strokes)
            keys << ' ' << stroke.key << '@' << secondsOf(static_cast<std::ptrdiff_t>(stroke.mark));
        return keys.str();
    }();
    for (std::size_t i = 0; i < strokes.size(); ++i) {
        const auto lag = static_cast<std::ptrdiff_t>(heard[i].onset) -
                         static_cast<std::ptrdiff_t>(strokes[i].mark);
        EXPECT_GE(lag, -static_cast<std::ptrdiff_t>(samplesOf(kEarliestNote)))
            << "note " << i << " (" << strokes[i].key << ") began before its key";
        EXPECT_LE(lag, static_cast<std::ptrdiff_t>(samplesOf(latest)))
            << "note " << i << " (" << strokes[i].key << ") began " << secondsOf(lag)
            << " s after its key";
        EXPECT_EQ(heard[i].midi, pitches.at(i)) << "note " << i << " (" << strokes[i].key << ")";
    }
}

bool Scenario::soundingNow() {
    const std::size_t now = recorder().indexNow();
    recorder().waitFor(now, 5s);
    return !isSilent(removeDropouts(recorder().slice(now - samplesOf(200ms), now)).samples);
}

bool Scenario::soundsAfter(std::size_t mark, std::chrono::milliseconds within) {
    const std::optional<std::size_t> sound = recorder().waitForSound(mark, within + 500ms);
    return sound && *sound <= mark + samplesOf(within);
}

bool Scenario::keyPlays(const std::string& key) { return soundsAfter(play({key}).front().mark); }

void Scenario::rest() {
    const std::size_t before = recorder().indexNow();
    x().tap("space");
    const std::optional<std::size_t> silent = recorder().waitForSilence(before, 300ms, 4s);
    ASSERT_TRUE(silent) << "still sounding after a rest";
    EXPECT_LT(*silent - before, samplesOf(1000ms)) << "the rest did not silence the note at once";
}

void Scenario::clickClient(XWindow window, ScreenRect place) {
    const ScreenRect client = x().clientRect(window);
    x().click(client.x + place.centerX(), client.y + place.centerY());
}

void Scenario::closeAndExpectEnd(std::chrono::milliseconds within) {
    x().tap("alt+F4");
    const std::optional<int> status = program().process().wait(within);
    ASSERT_TRUE(status) << "the program did not end within " << within.count() << " ms of closing";
    EXPECT_EQ(*status, 0);
}

}  // namespace velune::e2e
