#pragma once

// Where the sound goes: the sound server (a native PipeWire stream where PipeWire is the server,
// else a PulseAudio stream), else an ALSA device; and a new output when the server went away,
// came back after ALSA had to do, or moved the stream to a sink of another rate. Nothing here
// makes the thread that sends messages wait for the server: messages only touch atomics, a
// server is looked for again on a thread of its own, and every wait for one has a time limit.

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <vector>

#include "audio_core/audio_backend.h"
#include "audio_core/audio_format.h"
#include "audio_core/log_relay.h"

namespace velune {

class PulseBackend;
class RenderSource;
class StreamDriver;

enum class BackendKind { PipeWire, PulseAudio, Alsa };

// The backends to try, in order: a native PipeWire stream first where PipeWire serves (unless
// the user turned it off with VELUNE_PIPEWIRE=0), the server's PulseAudio protocol, ALSA last.
std::vector<BackendKind> backendOrder(bool serverReached, bool serverIsPipeWire,
                                      bool nativePipeWire);

class AudioOutput {
  public:
    // How long the server may take to answer before it counts as none.
    static constexpr std::chrono::milliseconds kServerTimeout{1500};
    // How often a server is looked for while ALSA plays.
    static constexpr std::chrono::seconds kProbeInterval{5};

    explicit AudioOutput(AudioFormat format);
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    // Reaches the sound server now, which is quick, and keeps the connection for start().
    // false: there is none (logged), and only ALSA is left.
    bool reachServer();
    // The rate to render at: that of the server's default sink, else the common one.
    unsigned sampleRate() const;
    // Plays `source` through the first backend that takes it, rendered at sampleRate() (unless
    // the format names a rate). false: no output at all (logged once).
    bool start(RenderSource& source);
    // Playing, the output has not gone away, and nothing better has come up meanwhile (a server
    // after ALSA, a sink of another rate): false asks for start() again.
    bool playing();
    enum class Delivery {
        Queued,    // the output's thread hands it to the source just before it renders next
        NoOutput,  // nothing plays: the caller hands it to the source itself
        Full,      // dropped: the output's thread has not rendered for a long while (a hung server)
    };
    // A packed short message for the source, checked by the sender. From the thread that sends
    // messages: takes no lock and never waits.
    Delivery message(std::uint32_t message);
    // Stops the audio thread, and hands the source what messages its thread had not taken in;
    // the source may be freed afterwards.
    void stop();
    BackendKind kind() const { return kind_; }

  private:
    bool tryBackend(BackendKind kind, RenderSource& source, unsigned rate);
    bool serverCameBack();

    AudioFormat format_;
    LogRelay relay_;
    std::unique_ptr<PulseBackend> server_;  // reached, not yet playing
    unsigned serverRate_ = 0;
    std::unique_ptr<StreamDriver> driver_;
    std::unique_ptr<AudioBackend> backend_;  // after driver_: it stops before the driver goes
    BackendKind kind_ = BackendKind::Alsa;
    std::future<std::unique_ptr<PulseBackend>> probe_;
    std::chrono::steady_clock::time_point nextProbe_{};
    bool lossLogged_ = false;
};

}  // namespace velune
