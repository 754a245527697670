#pragma once

// The command line, read before anything else starts: --help and --version answer and end the
// program before any window or sound exists; a mistake ends it with status 2.

#include <string>

#include "midi/midi_routing.h"

namespace velune {

inline constexpr int kCommandLineError = 2;

struct CommandLine {
    bool start = false;  // false: end at once with exitStatus
    int exitStatus = 0;
    MidiRouting::Request request;
};

// Prints the help, the version or what is wrong, as the arguments ask.
CommandLine parseCommandLine(int argc, char** argv);

// Prints why the recording cannot be written; returns kCommandLineError.
int refuseRecording(const std::string& why);

}  // namespace velune
