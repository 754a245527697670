#include "events.h"

#include <iostream>
#include <thread>

#include "audio_analysis.h"

namespace velune::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kPhrase = 6;         // notes played after an event
constexpr int kSwitchPhrase = 10;  // the switch comes after the fifth
constexpr auto kHang = 3s;
constexpr auto kAfterResume = 500ms;
// A program pauses its stream some seconds after its last note; the sink suspends after that.
constexpr auto kLongestToSuspend = 20s;
// The note sounding when the stream moves goes on on the new sink: its continuation there is
// not a note of the new sink's own.
constexpr auto kMovedTail = 120ms;

std::size_t samplesOf(Clock::duration d) {
    return static_cast<std::size_t>(std::chrono::duration<double>(d).count() * rig::kSampleRate);
}

bool waitUntilSuspended(rig::AudioServer& audio) {
    const auto deadline = Clock::now() + kLongestToSuspend;
    while (!audio.sinkSuspended()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(250ms);
    }
    return true;
}

void heardInPhrase(rig::Rig& rig, EventFigures& figures, std::size_t from) {
    const std::size_t end = rig.recorder().indexNow();
    rig.recorder().waitFor(end, 5s);
    figures.heard = static_cast<int>(rig::transcribe(rig.recorder().slice(from, end)).size());
}

}  // namespace

const char* nameOf(Event event) {
    switch (event) {
        case Event::Suspend:
            return "suspend";
        case Event::Switch:
            return "switch";
        case Event::Hang:
            return "hang";
    }
    return "?";
}

rig::SinkKind sinkFor(Event event) {
    switch (event) {
        case Event::Suspend:
            return rig::SinkKind::SuspendOnIdle;
        case Event::Switch:
            return rig::SinkKind::TwoSinks;
        case Event::Hang:
            return rig::SinkKind::Null;
    }
    return rig::SinkKind::Null;
}

EventFigures measureEvent(rig::Rig& rig, const Subject& subject, Event event) {
    EventFigures figures;
    figures.subject = subject.name;
    figures.event = event;
    std::cerr << "[" << subject.name << ", " << nameOf(event) << "]" << std::endl;
    rig::ChildEnvironment environment = rig.programEnvironment();
    for (const auto& [name, value] : subject.environment) environment.set(name, value);
    rig::Program program(rig, subject.program, environment);
    if (!program.waitForWindow(subject.windowTitle, 20s)) {
        figures.problems.push_back("the window did not become active");
        return figures;
    }
    std::this_thread::sleep_for(1s);
    playUnder(rig, subject, program, 0, 3);
    std::size_t from = rig.recorder().indexNow();
    switch (event) {
        case Event::Suspend:
            figures.happened = waitUntilSuspended(rig.audio());
            from = rig.recorder().indexNow();
            figures.after = playUnder(rig, subject, program, 0, kPhrase);
            heardInPhrase(rig, figures, from);
            figures.played = kPhrase;
            break;
        case Event::Switch: {
            std::size_t switched = 0;
            figures.after = playUnder(rig, subject, program, 0, kSwitchPhrase, [&] {
                switched = rig.recorder().indexNow();
                figures.happened = rig.audio().switchSink();
            });
            const std::size_t end = rig.recorder().indexNow();
            rig.recorder().waitFor(end, 5s);
            figures.heard = static_cast<int>(
                rig::transcribe(rig.recorder().sliceOf(1, switched + samplesOf(kMovedTail), end))
                    .size());
            figures.played = kSwitchPhrase - kSwitchPhrase / 2;
            break;
        }
        case Event::Hang:
            rig.audio().hang();
            std::this_thread::sleep_for(kHang);
            rig.audio().resume();
            figures.happened = true;
            std::this_thread::sleep_for(kAfterResume);
            from = rig.recorder().indexNow();
            figures.after = playUnder(rig, subject, program, 0, kPhrase);
            heardInPhrase(rig, figures, from);
            figures.played = kPhrase;
            break;
    }
    const std::size_t first = event == Event::Switch ? kSwitchPhrase / 2 : 0;
    if (first < figures.after.eachMs.size()) figures.firstMs = figures.after.eachMs[first];
    for (std::size_t i = first; i < figures.after.eachMs.size(); ++i) {
        if (figures.after.eachMs[i]) figures.afterMs.push_back(*figures.after.eachMs[i]);
    }
    if (!program.process().running()) figures.problems.push_back("the program ended by itself");
    return figures;
}

}  // namespace velune::bench
