#pragma once

// A program the benchmark measures, and how a player plays it.

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velune::bench {

struct Subject {
    std::string name;
    std::filesystem::path program;
    std::vector<std::pair<std::string, std::string>> environment;  // on top of the rig's
    std::string windowTitle;
    std::vector<std::string> noteKeys;  // X keysym names, each a different note
    // The key that silences a note; without one, releasing the note's key does.
    std::optional<std::string> restKey;
    bool needsNumLock = false;
};

Subject veluneSubject(const std::string& name, const std::filesystem::path& program);
// The Debian package "vmpk" (a general-purpose virtual MIDI keyboard) as a reference; nothing
// when it is not installed.
std::optional<Subject> vmpkSubject();

}  // namespace velune::bench
