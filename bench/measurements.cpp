#include "measurements.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <regex>
#include <thread>

#include "audio_analysis.h"
#include "time_base.h"

namespace velune::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A note every 0.4 s, held 0.2 s: the tail of the one before has faded by 30 dB or more.
constexpr auto kSpacing = 400ms;
constexpr auto kHold = 200ms;
// What sounded in the 20 ms before a key is the residue a note must rise above.
constexpr auto kBefore = 20ms;
constexpr auto kLatestOnset = 300ms;
// The sink's clock is pinned by what the server says in the seconds around a press.
constexpr auto kTimeBaseAfter = 4s;
// How long a server or a program is given to settle before its processor use is measured.
constexpr auto kSettle = 3s;
// How long after its last note a program is left before its rest is measured: Velune pauses
// its stream ten seconds after the last message.
constexpr auto kToRest = 12s;
constexpr int kRests = 3;
// Processor use while playing, measured from 2 s into the notes: within the 10 s they take.
constexpr auto kPlayingCost = 6s;
// Starts timed for the start-up figure, of which the median is shown.
constexpr int kStarts = 5;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// What each group of processes used over the same stretch, in one-second windows: the wake-ups
// over the whole stretch, the processor time of the group's quietest second. On a virtual machine
// the host's preemption of a virtual core is charged to whichever thread runs on it, and in some
// runs it added 15-45 % of a core to the server for ten seconds and more while its wake-ups stayed
// the same: it only ever adds, so the least a second cost is what the group costs.
std::vector<Cost> costs(const std::vector<std::vector<pid_t>>& groups,
                        std::chrono::seconds duration) {
    const auto used = [&] {
        std::vector<ProcessorUse> totals(groups.size());
        for (std::size_t i = 0; i < groups.size(); ++i) {
            for (pid_t pid : groups[i]) {
                const ProcessorUse use = processorUseOf(pid);
                totals[i].cpu += use.cpu;
                totals[i].slices += use.slices;
            }
        }
        return totals;
    };
    const auto first = used();
    const auto from = Clock::now();
    std::vector<double> leastPercent(groups.size(), 100.0 * std::thread::hardware_concurrency());
    auto before = first;
    auto windowFrom = from;
    for (auto second = 1s; second <= duration; second += 1s) {
        std::this_thread::sleep_until(from + second);
        const auto after = used();
        const auto now = Clock::now();
        for (std::size_t i = 0; i < groups.size(); ++i) {
            leastPercent[i] = std::min(
                leastPercent[i], ms(after[i].cpu - before[i].cpu) / ms(now - windowFrom) * 100);
        }
        before = after;
        windowFrom = now;
    }
    const double elapsedMs = ms(windowFrom - from);
    std::vector<Cost> result;
    for (std::size_t i = 0; i < groups.size(); ++i) {
        result.push_back({std::max(0.0, leastPercent[i]),
                          std::max(0.0, static_cast<double>(before[i].slices - first[i].slices) /
                                            elapsedMs * 1000)});
    }
    return result;
}

// The buffer the program last said it plays with ("velune.audio: buffer 128x3 at 50000 Hz").
std::string lastBuffer(const std::string& log) {
    static const std::regex line(R"(buffer (\d+)x(\d+))");
    std::string last = "?";
    for (auto m = std::sregex_iterator(log.begin(), log.end(), line); m != std::sregex_iterator();
         ++m) {
        last = (*m)[1].str() + "x" + (*m)[2].str();
    }
    return last;
}

// Key to sound for a press, with the method's error; nothing when no note starts in time, or
// when the sink's clock is not known well enough around the press (`clocked` false).
std::optional<std::pair<double, double>> latencyOf(rig::Rig& rig, const rig::Injection& press,
                                                   bool& clocked) {
    const std::optional<rig::TimeBase> base =
        rig::timeBaseAround(rig.recorder().timingAnswers(), press.at);
    clocked = base.has_value();
    if (!base) return std::nullopt;
    const auto key = static_cast<std::size_t>(std::llround(base->indexAt(press.at)));
    const std::size_t from = key - rig::samplesOf(kBefore), to = key + rig::samplesOf(kLatestOnset);
    rig.recorder().waitFor(to, 3s);
    const std::optional<std::size_t> start =
        rig::noteStart(rig.recorder().slice(from, to), key - from);
    if (!start) return std::nullopt;
    const auto at = base->timeOf(static_cast<double>(from + *start));
    return std::pair{ms(at - press.at),
                     base->errorMs + ms(press.halfWidth) + 1000.0 / rig::kSampleRate};
}

std::vector<std::string> keysOf(const Subject& subject, int notes) {
    std::vector<std::string> keys;
    for (int i = 0; i < notes; ++i)
        keys.push_back(subject.noteKeys[static_cast<std::size_t>(i) % subject.noteKeys.size()]);
    return keys;
}

}  // namespace

PlayingFigures playUnder(rig::Rig& rig, const Subject& subject, rig::Program& program,
                         int busyCores, int notes, const std::function<void()>& midway) {
    std::optional<rig::BusyCores> load(busyCores);
    std::this_thread::sleep_for(500ms);
    const std::size_t begin = rig.recorder().indexNow();
    rig::StallWatch watch(rig::StallWatch::stallMsFor(rig.audio().kind()));
    std::vector<std::string> keys = keysOf(subject, notes);
    const std::string rest = subject.restKey.value_or("");
    std::vector<rig::Injection> presses;
    if (midway) {
        // Something happens to the sink between the two halves of the phrase.
        const auto half = keys.begin() + notes / 2;
        presses = rig.x().play({keys.begin(), half}, kSpacing, kHold, rest);
        midway();
        std::this_thread::sleep_for(kSpacing - kHold);
        const std::vector<rig::Injection> after =
            rig.x().play({half, keys.end()}, kSpacing, kHold, rest);
        presses.insert(presses.end(), after.begin(), after.end());
    } else {
        presses = rig.x().play(keys, kSpacing, kHold, rest);
    }
    std::this_thread::sleep_for(kSpacing);
    const std::size_t end = rig.recorder().indexNow();
    const rig::Stalls stalls = watch.stop();
    load.reset();

    PlayingFigures figures{busyCores, {}, {}, notes, 0, 0, 0, lastBuffer(program.log()),
                           stalls,    {}};
    rig.recorder().waitFor(end, 5s);
    figures.dropouts = static_cast<int>(rig.recorder().dropouts(begin, end).size());
    figures.onsets = static_cast<int>(rig::transcribe(rig.recorder().slice(begin, end)).size());
    std::this_thread::sleep_until(presses.back().at + kTimeBaseAfter);
    for (const rig::Injection& press : presses) {
        bool clocked = false;
        const auto latency = latencyOf(rig, press, clocked);
        if (!clocked) ++figures.unclocked;
        figures.eachMs.push_back(latency ? std::optional(latency->first) : std::nullopt);
        if (latency) {
            figures.latencyMs.push_back(latency->first);
            figures.errorMs.push_back(latency->second);
        }
    }
    return figures;
}

namespace {

// What PipeWire runs the graph with, and what the subject's stream asked of it.
std::string pipeWireQuantum(rig::Rig& rig) {
    rig::ChildEnvironment environment = rig::ChildEnvironment::inherited();
    rig.audio().configure(environment);
    std::string text;
    const std::string settings =
        rig::runCommand({"pw-metadata", "-n", "settings"}, environment).output;
    static const std::regex setting(
        R"(key:'(clock\.(?:quantum|min-quantum|force-quantum))' value:'(\d+)')");
    for (auto m = std::sregex_iterator(settings.begin(), settings.end(), setting);
         m != std::sregex_iterator(); ++m) {
        text += (*m)[1].str() + " " + (*m)[2].str() + ", ";
    }
    const std::string dump = rig::runCommand({"pw-dump"}, environment).output;
    static const std::regex stream(
        R"re("(node\.latency|pulse\.attr\.minreq|pulse\.attr\.tlength)": "?([^",\n]+))re");
    for (std::size_t at = 0; (at = dump.find("\"Stream/Output/Audio\"", at)) != std::string::npos;
         ++at) {
        const std::size_t props = dump.rfind("\"props\"", at);
        const std::string block = dump.substr(props, dump.find('}', at) - props);
        text += "stream";
        for (auto m = std::sregex_iterator(block.begin(), block.end(), stream);
             m != std::sregex_iterator(); ++m) {
            text += " " + (*m)[1].str() + " " + (*m)[2].str();
        }
        text += ", ";
    }
    return text + "pulse.min.req " + rig::kPulseMinReq + ", pulse.min.quantum " +
           rig::kPulseMinQuantum;
}

// Starts the subject a few times, each to its window shown and holding the focus, then ends it.
std::vector<double> startUps(rig::Rig& rig, const Subject& subject,
                             const rig::ChildEnvironment& environment) {
    std::vector<double> times;
    for (int i = 0; i < kStarts; ++i) {
        const auto start = Clock::now();
        rig::Program program(rig, subject.program, environment);
        if (program.waitForWindow(subject.windowTitle, 20s)) {
            times.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    return times;
}

}  // namespace

Cost serverAlone(rig::Rig& rig, std::chrono::seconds duration) {
    // A server just started is still loading and filling its sink: as much as a quarter of a
    // core for a second or two.
    std::this_thread::sleep_for(kSettle);
    return costs({rig.audio().pids()}, duration).front();
}

Figures measure(rig::Rig& rig, const Subject& subject, const Plan& plan) {
    Figures figures;
    figures.subject = subject.name;
    figures.server = rig::nameOf(rig.audio().kind());
    figures.sink = rig::nameOf(rig.audio().sinkKind());
    const auto log = [&](const std::string& what) {
        std::cerr << "[" << subject.name << " on " << figures.server << ", " << figures.sink
                  << " sink] " << what << std::endl;
    };
    rig::ChildEnvironment environment = rig.programEnvironment();
    for (const auto& [name, value] : subject.environment) environment.set(name, value);
    log("starting");
    if (plan.everything) figures.startupMs = startUps(rig, subject, environment);
    rig::Program program(rig, subject.program, environment);
    if (!program.waitForWindow(subject.windowTitle, 20s)) {
        figures.problems.push_back("the window did not become active");
        return figures;
    }
    std::this_thread::sleep_for(1s);
    figures.afterStart = memoryOf(program.pid());
    std::size_t logShown = 0;
    const auto showLog = [&] {
        if (!plan.programLog) return;
        const std::string text = program.log();
        std::cerr << text.substr(std::min(logShown, text.size()));
        logShown = text.size();
    };
    for (int busy : plan.busyCores) {
        showLog();
        log("playing, " + std::to_string(busy) + " cores busy");
        // On a quiet machine, while the notes play: the quantum in force.
        std::optional<std::thread> watch;
        if (busy == 0 && rig.audio().kind() == rig::ServerKind::PipeWire) {
            watch.emplace([&] {
                std::this_thread::sleep_for(2s);
                figures.quantum = pipeWireQuantum(rig);
            });
        }
        figures.playing.push_back(playUnder(rig, subject, program, busy, plan.notes));
        if (watch) watch->join();
    }
    if (std::find(plan.busyCores.begin(), plan.busyCores.end(), 0) != plan.busyCores.end()) {
        // What playing costs a player: the same notes on a quiet machine, unheard, with the
        // rig's recording paused (its share of the server's work is the rig's own).
        showLog();
        log("playing unrecorded, for what it costs");
        rig.recorder().pause();
        std::thread watch([&] {
            std::this_thread::sleep_for(2s);
            const std::vector<Cost> playing =
                costs({{program.pid()}, rig.audio().pids()}, kPlayingCost);
            figures.playingProgram = playing[0];
            figures.playingServer = playing[1];
        });
        rig.x().play(keysOf(subject, plan.notes), kSpacing, kHold, subject.restKey.value_or(""));
        watch.join();
        rig.recorder().resume();
    }
    showLog();
    log("at rest");
    std::this_thread::sleep_for(kToRest);
    const std::vector<Cost> rest = costs({{program.pid()}, rig.audio().pids()}, plan.rest);
    figures.restProgram = rest[0];
    figures.restServer = rest[1];
    if (plan.everything) log("the first note after a rest, " + std::to_string(kRests) + " times");
    for (int i = 0; plan.everything && i < kRests; ++i) {
        if (i > 0) std::this_thread::sleep_for(kToRest);
        for (double ms : playUnder(rig, subject, program, 0, 1).latencyMs)
            figures.afterRest.push_back(ms);
    }
    showLog();
    if (!program.process().running()) figures.problems.push_back("the program ended by itself");
    if (const std::size_t holes = rig.recorder().holes(); holes > 0) {
        figures.problems.push_back(std::to_string(holes) + " holes in the recording");
    }
    return figures;
}

}  // namespace velune::bench
