#pragma once

#include <string>

namespace velune {

// Where the layers below the widgets say why something failed (Warning) and what they chose
// (Info: the SoundFont, the audio buffer in force). The application routes these into Qt's
// categorized logging ("velune.audio", "velune.soundfont", ...), so QT_LOGGING_RULES turns them
// up or down; until it installs its sink, every message goes to standard error as it is.
enum class LogArea { Audio, SoundFont, Synth, Midi };
enum class LogLevel { Debug, Info, Warning };

using LogSink = void (*)(LogArea area, LogLevel level, const std::string& text);

void setLogSink(LogSink sink);
void logMessage(LogArea area, LogLevel level, const std::string& text);

// The category name of an area, e.g. "velune.audio".
const char* logAreaName(LogArea area);

}  // namespace velune
