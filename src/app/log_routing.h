#pragma once

namespace velune {

// Sends the log of the layers below the widgets (the SoundFont, the synthesizer, the audio
// output) into Qt's categorized logging: velune.audio, velune.soundfont, velune.synth,
// velune.midi; warnings and information are shown, debug is not, and QT_LOGGING_RULES turns
// them up or down. Safe from any thread: it touches no widget.
void routeLogIntoQt();

}  // namespace velune
