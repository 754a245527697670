#include "render_thread.h"

#include <fluidsynth.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>

#include "diagnostics.h"

namespace velune {
namespace {

constexpr float kSilence = 1e-6f;  // -120 dBFS
constexpr unsigned kQuietPerSecond = 10;

}  // namespace

void raiseRenderPriority(fluid_synth_t* synth) {
    int wanted = 0;
    fluid_settings_getint(fluid_synth_get_settings(synth), "audio.realtime-prio", &wanted);
    if (wanted <= 0) return;
    sched_param param{};
    param.sched_priority = wanted;
    int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    rlimit limit{};
    if (error == EPERM && getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0) {
        param.sched_priority = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, wanted));
        error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
    logMessage(LogArea::Audio, LogLevel::Info,
               error == 0
                   ? "rendering at real-time priority " + std::to_string(param.sched_priority)
                   : std::string("rendering at normal priority: ") + std::strerror(error));
}

bool RestWatch::render(fluid_synth_t* synth, float* data, std::size_t frames, unsigned rate) {
    const unsigned messages = messages_.load(std::memory_order_acquire);
    if (messages != seen_) {
        seen_ = messages;
        framesSinceMessage_ = 0;
    }
    fluid_synth_write_float(synth, static_cast<int>(frames), data, 0, 2, data, 1, 2);
    const bool quiet = std::all_of(data, data + frames * 2,
                                   [](float sample) { return std::abs(sample) < kSilence; });
    quietFrames_ = quiet ? quietFrames_ + frames : 0;
    framesSinceMessage_ += frames;
    return quietFrames_ >= rate / kQuietPerSecond &&
           framesSinceMessage_ >= rate * static_cast<std::size_t>(kQuietStretch.count());
}

}  // namespace velune
