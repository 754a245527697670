#pragma once

#include <string>

namespace velune {

// What the MIDI routines need of the user interface: a modal box with OK only, no icon and the
// caption "Velune". showMessage returns when the user has closed it.
class UserInterface {
public:
    virtual ~UserInterface() = default;
    virtual void showMessage(const std::string& text) = 0;
};

// Thrown to end the program at once (before the event loop runs); main() returns status.
struct ProgramEnded {
    int status;
};

}  // namespace velune
