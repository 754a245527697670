#include "measurements.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <thread>

#include "audio_analysis.h"

namespace velune::bench {
namespace {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr auto kQuietHold = 150ms;
constexpr auto kQuietTimeout = 6s;
// How long after its key a note may start, and the quiet looked at before the key.
constexpr auto kLatestOnset = 500ms;
constexpr auto kQuietBefore = 20ms;
constexpr auto kTimeBaseAfter = 4s;

double ms(Clock::duration d) { return Milliseconds(d).count(); }

std::size_t samplesOf(Clock::duration d, unsigned rate) {
    return static_cast<std::size_t>(std::chrono::duration<double>(d).count() * rate);
}

void log(const Subject& subject, const std::string& what) {
    std::cerr << "[" << subject.name << "] " << what << std::endl;
}

// Where a note struck by `press` starts, as a monotonic time; nothing when none starts, or when
// something was already sounding just before the key.
struct Heard {
    std::optional<Clock::time_point> onset;
    bool quietBefore = true;
    double timeBaseErrorMs = 0;
    double driftPpm = 0;
    double sinkLatencyMs = 0;
};

Heard hear(Stage& stage, const Injection& press) {
    TimedRecorder& recorder = stage.recorder();
    // The sink's clock is pinned by what the server says in the seconds around the press.
    std::this_thread::sleep_until(press.at + kTimeBaseAfter);
    Heard heard;
    const std::optional<TimeBase> base = recorder.timeBase(press.at);
    if (!base) return heard;
    heard.timeBaseErrorMs = base->errorMs;
    heard.driftPpm = base->driftPpm;
    heard.sinkLatencyMs = base->sinkLatencyMs;
    const auto key = static_cast<std::size_t>(std::llround(base->indexAt(press.at)));
    const std::size_t from = key - samplesOf(kQuietBefore, base->rate);
    const std::size_t to = key + samplesOf(kLatestOnset, base->rate);
    recorder.waitFor(to, 3s);
    const std::vector<float> samples = recorder.slice(from, to);
    const auto loud = std::find_if(samples.begin(), samples.end(),
                                   [](float s) { return std::abs(s) >= kAudible; });
    if (loud == samples.end()) return heard;
    const auto at = static_cast<std::size_t>(loud - samples.begin());
    if (at < key - from) {
        heard.quietBefore = false;
        return heard;
    }
    heard.onset = base->timeOf(static_cast<double>(from + at));
    return heard;
}

void release(Stage& stage, const Subject& subject, const std::string& key) {
    stage.probe().key(key, false);
    if (subject.restKey) stage.probe().tap(*subject.restKey);
}

LatencyFigures measureLatency(Stage& stage, const Subject& subject, int presses,
                              std::vector<std::string>& problems) {
    std::vector<Injection> strokes;
    for (int i = 0; i < presses; ++i) {
        const std::string& key = subject.noteKeys[static_cast<std::size_t>(i) % subject.noteKeys.size()];
        if (!stage.waitForQuiet(kQuietHold, kQuietTimeout)) problems.push_back("no quiet before a press");
        strokes.push_back(stage.probe().key(key, true));
        std::this_thread::sleep_for(200ms);
        release(stage, subject, key);
    }
    LatencyFigures figures;
    figures.presses = presses;
    const double sample = 1000.0 / stage.recorder().rate();
    for (const Injection& stroke : strokes) {
        const Heard heard = hear(stage, stroke);
        if (!heard.quietBefore) problems.push_back("sound before a key: press left out");
        if (heard.onset) {
            figures.ms.push_back(ms(*heard.onset - stroke.at));
            figures.errorMs.push_back(heard.timeBaseErrorMs + ms(stroke.halfWidth) + sample);
        }
        figures.timeBaseErrorMs = std::max(figures.timeBaseErrorMs, heard.timeBaseErrorMs);
        figures.injectionMs = std::max(figures.injectionMs, ms(stroke.halfWidth));
        figures.driftPpm = heard.driftPpm;
        figures.sinkLatencyMs = heard.sinkLatencyMs;
    }
    return figures;
}

// From the moment the window is active, strikes note keys in quick succession until something
// sounds; the first sound is the first audible sample after the start.
std::optional<double> firstSound(Stage& stage, const Subject& subject, const Session& session) {
    TimedRecorder& recorder = stage.recorder();
    const std::size_t before = recorder.size();
    const auto deadline = Clock::now() + 10s;
    const auto heardSomething = [&] {
        const std::vector<float> arrived = recorder.slice(before, recorder.size());
        return std::any_of(arrived.begin(), arrived.end(), [](float s) { return std::abs(s) >= kAudible; });
    };
    for (std::size_t i = 0; !heardSomething() && Clock::now() < deadline; ++i) {
        const std::string& key = subject.noteKeys[i % subject.noteKeys.size()];
        stage.probe().key(key, true);
        std::this_thread::sleep_for(10ms);
        stage.probe().key(key, false);
        std::this_thread::sleep_for(15ms);
    }
    if (subject.restKey) stage.probe().tap(*subject.restKey);
    // The sink's clock is pinned by what the server says in the seconds after the start.
    std::this_thread::sleep_for(kTimeBaseAfter);
    const std::optional<TimeBase> base = recorder.timeBase(Clock::now());
    if (!base) return std::nullopt;
    const auto started = static_cast<std::size_t>(std::max(0.0, base->indexAt(session.started())));
    const std::vector<float> sound = recorder.slice(started, recorder.size());
    const auto loud = std::find_if(sound.begin(), sound.end(), [](float s) { return std::abs(s) >= kAudible; });
    if (loud == sound.end()) return std::nullopt;
    return ms(base->timeOf(static_cast<double>(started + (loud - sound.begin()))) - session.started());
}

}  // namespace

void measureStart(Stage& stage, const Subject& subject, StartupFigures& figures) {
    stage.waitForQuiet(kQuietHold, kQuietTimeout);
    Session session(stage, subject);
    if (!session.waitUntilActive()) {
        ++figures.failed;
        return;
    }
    const std::optional<double> sound = firstSound(stage, subject, session);
    if (session.mappedAt()) figures.mappedMs.push_back(ms(*session.mappedAt() - session.started()));
    figures.activeMs.push_back(ms(session.activeAt() - session.started()));
    if (sound) figures.firstSoundMs.push_back(*sound);
    session.stop();
    std::this_thread::sleep_for(300ms);
}

namespace {

IdleFigures measureIdle(Stage& stage, const Session& session, std::chrono::seconds duration) {
    const std::vector<ThreadTime> before = threadTimes(session.pid());
    const auto serverBefore = cpuTimeOf(stage.audioServerPid());
    const Clock::time_point from = Clock::now();
    std::this_thread::sleep_for(duration);
    const std::vector<ThreadTime> after = threadTimes(session.pid());
    const auto serverAfter = cpuTimeOf(stage.audioServerPid());
    const double wall = ms(Clock::now() - from);

    IdleFigures figures;
    std::map<pid_t, std::chrono::nanoseconds> start;
    for (const ThreadTime& t : before) start[t.tid] = t.cpu;
    std::chrono::nanoseconds total{0};
    for (const ThreadTime& t : after) {
        const auto used = t.cpu - start[t.tid];
        total += used;
        figures.threads.emplace_back(t.name, ms(used) / wall * 100);
    }
    std::sort(figures.threads.begin(), figures.threads.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    figures.threads.resize(std::min<std::size_t>(figures.threads.size(), 3));
    figures.programPercent = ms(total) / wall * 100;
    figures.serverPercent = ms(serverAfter - serverBefore) / wall * 100;
    return figures;
}

bool pickInstrument(Stage& stage, Session& session, int program) {
    if (!session.openInstrumentList()) return false;
    stage.probe().tap("Home");
    for (int i = 0; i < program; ++i) stage.probe().tap("Down");
    stage.probe().tap("Return");
    return stage.probe().waitForPopup(false, 3s);
}

int pickEveryInstrument(Stage& stage, Session& session) {
    int picked = 0;
    for (int program = 0; program < 128; ++program) {
        if (!session.openInstrumentList()) break;
        stage.probe().tap(program == 0 ? "Home" : "Down");
        stage.probe().tap("Return");
        if (!stage.probe().waitForPopup(false, 3s)) break;
        ++picked;
    }
    return picked;
}

// A sustained note recorded while `busyCores` processes spin.
DropoutFigures measureDropouts(Stage& stage, const Subject& subject, int busyCores,
                               std::chrono::seconds duration) {
    stage.waitForQuiet(kQuietHold, kQuietTimeout);
    std::vector<e2e::ChildProcess> load;
    for (int i = 0; i < busyCores; ++i) {
        load.emplace_back(std::vector<std::string>{"sh", "-c", "while :; do :; done"},
                          e2e::ChildEnvironment::inherited());
    }
    std::this_thread::sleep_for(300ms);
    const std::string& key = subject.noteKeys.front();
    stage.probe().key(key, true);
    std::this_thread::sleep_for(500ms);
    TimedRecorder& recorder = stage.recorder();
    const std::size_t begin = recorder.size();
    const std::size_t end = begin + samplesOf(duration, recorder.rate());
    recorder.waitFor(end, duration + 5s);
    release(stage, subject, key);
    load.clear();

    const std::vector<float> sound = recorder.slice(begin, end);
    DropoutFigures figures;
    figures.busyCores = busyCores;
    figures.seconds = static_cast<double>(sound.size()) / recorder.rate();
    for (const e2e::Dropout& gap : e2e::findDropouts(sound, static_cast<int>(recorder.rate()))) {
        figures.gapsMs.push_back(static_cast<double>(gap.end - gap.begin) * 1000.0 / recorder.rate());
    }
    figures.dropouts = static_cast<int>(figures.gapsMs.size());
    const std::size_t window = recorder.rate() / 10;
    int sounding = 0, windows = 0;
    for (std::size_t at = 0; at + window <= sound.size(); at += window, ++windows) {
        if (!e2e::isSilent(std::span<const float>(sound).subspan(at, window))) ++sounding;
    }
    figures.soundingShare = windows > 0 ? static_cast<double>(sounding) / windows : 0;
    return figures;
}

}  // namespace

void measure(Stage& stage, const Subject& subject, const Plan& plan, Figures& figures) {
    figures.subject = subject.name;
    if (!plan.idleCpu && !plan.latency && !plan.dropouts && !plan.instruments) return;

    stage.waitForQuiet(kQuietHold, kQuietTimeout);
    Session session(stage, subject);
    if (!session.waitUntilActive()) {
        figures.problems.push_back("the window did not become active");
        return;
    }
    std::this_thread::sleep_for(1s);
    figures.afterStart = memoryOf(session.pid());
    if (plan.idleCpu) {
        log(subject, "idle");
        figures.idle = measureIdle(stage, session, plan.idle);
    }
    if (plan.latency) {
        log(subject, "key to sound, " + std::to_string(plan.presses) + " presses");
        figures.latency = measureLatency(stage, subject, plan.presses, figures.problems);
    }
    if (plan.dropouts) {
        log(subject, "dropouts");
        if (pickInstrument(stage, session, plan.organ)) {
            for (int busy : {1, 2}) figures.dropouts.push_back(measureDropouts(stage, subject, busy, plan.sustain));
        } else {
            figures.problems.push_back("could not pick the organ");
        }
    }
    if (plan.instruments) {
        log(subject, "all instruments");
        figures.instrumentsPicked = pickEveryInstrument(stage, session);
        std::this_thread::sleep_for(500ms);
        figures.afterInstruments = memoryOf(session.pid());
    }
    if (!session.running()) figures.problems.push_back("the program ended by itself");
    if (const std::size_t holes = stage.recorder().holes(); holes > 0) {
        figures.problems.push_back(std::to_string(holes) + " holes in the recording so far");
    }
}

}  // namespace velune::bench
