#pragma once

// Plays a StreamDriver straight to an ALSA device, where no sound server runs: a thread of its
// own writes one period at a time, blocking until the device takes it. An ALSA device cannot
// take back what it was given, nor change its buffer while it plays, so the buffer stays as it
// starts (the steady one unless pinned); an underrun is told to the policy, which only logs it.

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_core/audio_backend.h"

typedef struct _snd_pcm snd_pcm_t;

namespace velune {

class StreamDriver;

class AlsaBackend : public AudioBackend {
  public:
    // Opens `device` ("default": whatever the system plays to) for the driver's rate and
    // setting; nullptr when there is none or it refuses (logged).
    static std::unique_ptr<AlsaBackend> open(StreamDriver& driver,
                                             const std::string& device = "default");
    ~AlsaBackend() override;
    AlsaBackend(const AlsaBackend&) = delete;
    AlsaBackend& operator=(const AlsaBackend&) = delete;

    void kick() override {}
    bool lost() const override { return lost_.load(std::memory_order_acquire); }

  private:
    explicit AlsaBackend(StreamDriver& driver) : driver_(driver) {}
    void run();

    StreamDriver& driver_;
    snd_pcm_t* pcm_ = nullptr;
    unsigned periodFrames_ = 0;
    std::vector<float> period_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lost_{false};
    std::thread thread_;
};

}  // namespace velune
