#pragma once

// One way out to the speakers (PulseAudio, PipeWire, ALSA): an adapter that takes what its
// StreamDriver renders to its server or device, on a thread of its own.

namespace velune {

class AudioBackend {
  public:
    virtual ~AudioBackend() = default;
    // Wakes the backend's thread to see to its driver (a message ended the rest, a note to
    // render again into the queue). Any thread; takes no lock and never waits.
    virtual void kick() = 0;
    // The server or the device went away; a new output is needed.
    virtual bool lost() const = 0;
    // The device changed under the stream in a way it cannot follow (another rate): a new
    // output would play better.
    virtual bool wantsRestart() const { return false; }
};

}  // namespace velune
