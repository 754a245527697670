#pragma once

namespace velune {

// On X11, asks the server to send a held key as presses only (no fake releases).
void requestDetectableAutoRepeat();

}  // namespace velune
