#include "support/diagnostics.h"

#include <atomic>
#include <cstdio>

namespace velune {
namespace {

void standardErrorSink(LogArea area, LogLevel, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", logAreaName(area), text.c_str());
}

// Set once at start-up, read from any thread (the loader and the audio thread log too).
std::atomic<LogSink> currentSink{standardErrorSink};

}  // namespace

void setLogSink(LogSink sink) { currentSink.store(sink ? sink : standardErrorSink); }

void logMessage(LogArea area, LogLevel level, const std::string& text) {
    currentSink.load()(area, level, text);
}

const char* logAreaName(LogArea area) {
    switch (area) {
        case LogArea::Audio:
            return "velune.audio";
        case LogArea::SoundFont:
            return "velune.soundfont";
        case LogArea::Synth:
            return "velune.synth";
        case LogArea::Midi:
            return "velune.midi";
    }
    return "velune";
}

}  // namespace velune
