#include "subject.h"

#include <unistd.h>

#include <cstdlib>

#include "rig.h"

namespace velune::bench {

Subject veluneSubject(const std::string& name, const std::filesystem::path& program) {
    Subject subject;
    subject.name = name;
    subject.program = program;
    subject.windowTitle = rig::kMainWindowTitle;
    subject.noteKeys = {"m",    "comma", "period", "j",    "k",    "l",    "u",
                        "KP_1", "KP_2",  "KP_3",   "KP_4", "KP_5", "KP_6", "KP_7"};
    subject.restKey = "space";
    subject.needsNumLock = true;
    return subject;
}

std::optional<Subject> vmpkSubject() {
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::filesystem::path candidate =
            std::filesystem::path(rest.substr(0, colon)) / "vmpk";
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
        if (::access(candidate.c_str(), X_OK) != 0) continue;
        Subject subject;
        subject.name = "vmpk";
        subject.program = candidate;
        subject.windowTitle = "Virtual MIDI Piano Keyboard";
        // Its default key map: the white keys of two octaves.
        subject.noteKeys = {"z", "x", "c", "v", "b", "n", "m", "q", "w", "e", "r", "t", "y", "u"};
        return subject;
    }
    return std::nullopt;
}

}  // namespace velune::bench
