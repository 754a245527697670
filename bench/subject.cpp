#include "subject.h"

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
    const std::optional<std::filesystem::path> program = rig::installed("vmpk");
    if (!program) return std::nullopt;
    Subject subject;
    subject.name = "vmpk";
    subject.program = *program;
    subject.windowTitle = "Virtual MIDI Piano Keyboard";
    // Its default key map: the white keys of two octaves.
    subject.noteKeys = {"z", "x", "c", "v", "b", "n", "m", "q", "w", "e", "r", "t", "y", "u"};
    return subject;
}

}  // namespace velune::bench
