#pragma once

// The figures the benchmark takes of one subject on one audio server, and how it takes them.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "process_stats.h"
#include "rig.h"
#include "stall_watch.h"
#include "subject.h"

namespace velune::bench {

struct Plan {
    int notes = 25;                       // played 0.4 s apart: 10 s
    std::chrono::seconds rest{10};        // processor use measured at rest
    std::vector<int> busyCores{0, 1, 2};  // the loads it plays under
    // Start-up, memory and the first notes after a rest too; they do not depend on the sink.
    bool everything = true;
    // What the program wrote to standard error, shown after each stretch (--program-log).
    bool programLog = false;
};

// Playing under one load: key to sound for every note, dropouts, the buffer in force.
struct PlayingFigures {
    int busyCores = 0;
    std::vector<double> latencyMs;  // key to sound, one per note heard after quiet enough
    std::vector<double> errorMs;    // the method's bound for each of them
    int notes = 0;
    int unclocked = 0;  // presses left untimed because the sink's clock was not known there
    int onsets = 0;     // notes the ears heard in the whole stretch
    int dropouts = 0;
    std::string buffer = "?";  // as the program last printed it ("frames x periods")
    rig::Stalls stalls;        // the machine's, while the notes played
    std::vector<std::optional<double>> eachMs;  // key to sound of each press; nothing: not timed
};

// What a group of processes used over a stretch: processor time, in % of one core, in its quietest
// second, and wake-ups. On a virtual machine the time a wake-up costs varies with the host's load;
// the count does not.
struct Cost {
    double cpuPercent = 0;
    double wakeupsPerSecond = 0;
};

struct Figures {
    std::string subject;
    std::string server;
    std::string sink = "null";  // rig::nameOf(SinkKind)
    std::vector<PlayingFigures> playing;
    std::optional<Cost> playingProgram;  // all threads of the program, playing on a quiet machine
    std::optional<Cost> playingServer;   // the audio server in the same time
    std::optional<Cost> restProgram;     // all threads of the program
    std::optional<Cost> restServer;      // the audio server in the same time
    std::vector<double> afterRest;       // key to sound of the note played next (none: not timed)
    std::optional<Memory> afterStart;
    std::vector<double> startupMs;  // from exec to the window shown and active, once per start
    std::string quantum;            // PipeWire's settings while the subject played
    std::vector<std::string> problems;
};

// The audio server alone, with nothing but the recorder: the floor of its processor use.
Cost serverAlone(rig::Rig& rig, std::chrono::seconds duration);
// Everything else, in one run of the subject.
Figures measure(rig::Rig& rig, const Subject& subject, const Plan& plan);
// Plays `notes` notes 0.4 s apart with `busyCores` cores busy and takes the figures; `midway`,
// when given, runs after the release of the note in the middle of them.
PlayingFigures playUnder(rig::Rig& rig, const Subject& subject, rig::Program& program,
                         int busyCores, int notes, const std::function<void()>& midway = {});

}  // namespace velune::bench
