#pragma once

// Finding and checking the General MIDI SoundFont before the synthesizer spends its time on it.

#include <string>
#include <vector>

namespace velune {

// $VELUNE_SOUNDFONT when set (then only that file), else the usual places of Linux distributions.
std::vector<std::string> defaultSoundFonts();

// The first candidate that is a regular file; "" when none is, and then the places looked in
// are logged.
std::string findSoundFont(const std::vector<std::string>& candidates);

// What is wrong with a SoundFont file, for the log: "" when it holds a whole SoundFont (a RIFF
// "sfbk" whose size is the file's, and its three parts INFO, sdta and pdta following each other
// to the end); else which check failed, at which offset, e.g. "the part at offset 12 is not a
// LIST chunk". Cheap (a few reads): a cut or mislabelled file is told before loading it.
std::string soundFontProblem(const std::string& path);

}  // namespace velune
