#pragma once

// The figures the benchmark takes of one subject, and how it takes them.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "bench_rig.h"
#include "process_stats.h"

namespace velune::bench {

struct Plan {
    int presses = 28;
    int starts = 5;
    std::chrono::seconds idle{5};
    std::chrono::seconds sustain{10};
    int organ = 20;  // the General MIDI church organ, counted from 0
    bool startup = true;
    bool idleCpu = true;
    bool latency = true;
    bool dropouts = true;
    bool instruments = true;
};

struct LatencyFigures {
    std::vector<double> ms;        // key to sound, one per press heard
    std::vector<double> errorMs;   // the method's bound for each of them, all parts together
    int presses = 0;
    double timeBaseErrorMs = 0;   // the largest error of the sink clock's origin
    double injectionMs = 0;       // the largest half round trip of a key injection
    double driftPpm = 0;
    double sinkLatencyMs = 0;
};

struct StartupFigures {
    std::vector<double> mappedMs;      // exec to the main window mapped
    std::vector<double> activeMs;      // exec to the main window active (keys reach it)
    std::vector<double> firstSoundMs;  // exec to the first note heard, its key pressed at once
    int failed = 0;
};

struct IdleFigures {
    double programPercent = 0;  // of one core, every thread of the program
    double serverPercent = 0;   // the audio server in the same time
    std::vector<std::pair<std::string, double>> threads;  // the busiest threads of the program
};

struct DropoutFigures {
    int busyCores = 0;
    double seconds = 0;
    int dropouts = 0;
    std::vector<double> gapsMs;  // how long each dropout lasted
    double soundingShare = 0;    // share of 100 ms windows that were not silent
};

struct Figures {
    std::string subject;
    LatencyFigures latency;
    StartupFigures startup;
    std::optional<Memory> afterStart;
    std::optional<Memory> afterInstruments;
    int instrumentsPicked = 0;
    std::optional<IdleFigures> idle;
    std::vector<DropoutFigures> dropouts;
    std::vector<std::string> problems;
};

// One start of the subject: exec to its window mapped and active, and to the first sound.
void measureStart(Stage& stage, const Subject& subject, StartupFigures& figures);
// Everything else, in one run of the subject.
void measure(Stage& stage, const Subject& subject, const Plan& plan, Figures& figures);

}  // namespace velune::bench
