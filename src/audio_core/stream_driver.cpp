#include "audio_core/stream_driver.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "audio_core/render_source.h"

namespace velune {

namespace {

constexpr std::uint32_t kNoteOff = 0x80, kNoteOn = 0x90, kControlChange = 0xB0;
constexpr std::uint32_t kAllSoundOff = 120;
constexpr std::uint32_t kMidiChannels = 16;

bool startsOrEnds(std::uint32_t message) {
    const std::uint32_t kind = message & 0xF0;
    return kind == kNoteOff || kind == kNoteOn;
}

}  // namespace

StreamDriver::StreamDriver(RenderSource& source, unsigned rate, BufferPolicy policy, LogRelay& log,
                           std::chrono::milliseconds restAfter)
    : source_(source),
      rate_(rate),
      policy_(policy),
      pinned_(policy.pinned()),
      log_(log),
      rest_(restAfter) {}

StreamDriver::Posted StreamDriver::post(std::uint32_t message) {
    rest_.message();
    if (!messages_.push(message)) {
        overflowed_.store(true, std::memory_order_release);
        return Posted::Full;
    }
    const bool rewrite = startsOrEnds(message) && rewrites_.load(std::memory_order_acquire);
    return rewrite || resting_.load(std::memory_order_acquire) ? Posted::Kick : Posted::Queued;
}

bool StreamDriver::takeMessages() {
    bool notes = false;
    messages_.takeAll([&](std::uint32_t message) {
        source_.play(message);
        notes = notes || startsOrEnds(message);
    });
    if (overflowed_.exchange(false, std::memory_order_acq_rel)) {
        // Messages were lost, note-offs among them perhaps: nothing may sound on for them.
        for (std::uint32_t channel = 0; channel < kMidiChannels; ++channel)
            source_.play(kControlChange | channel | kAllSoundOff << 8);
        notes = true;
    }
    return notes;
}

// Runs ahead of ordinary threads where the system allows it: at kRealtimePriority, or at the
// highest RLIMIT_RTPRIO grants when that is lower; elsewhere at the normal priority.
void StreamDriver::enterRealtime() {
    sched_param param{};
    param.sched_priority = kRealtimePriority;
    int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    rlimit limit{};
    if (error == EPERM && getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur > 0) {
        param.sched_priority =
            static_cast<int>(std::min<rlim_t>(limit.rlim_cur, kRealtimePriority));
        error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    }
    AudioEvent event;
    event.kind = AudioEvent::Kind::Priority;
    event.number = error == 0 ? param.sched_priority : -error;
    log_.post(event);
}

bool StreamDriver::render(float* data, std::size_t frames) {
    if (!rewrites_.load(std::memory_order_relaxed)) takeMessages();
    return rest_.render(source_, data, frames, rate_);
}

std::optional<BufferSetting> StreamDriver::changed(bool changed, const char* why) {
    if (!changed) return std::nullopt;
    logBuffer(why);
    return policy_.current();
}

std::optional<BufferSetting> StreamDriver::underflow(bool audible) {
    const bool grew = policy_.underflow(Clock::now(), audible);
    if (!grew) log(LogLevel::Debug, audible ? "underflow" : "underflow over silence");
    return changed(grew, "underflow");
}

std::optional<BufferSetting> StreamDriver::missedCycle(bool audible) {
    return changed(policy_.underflow(Clock::now(), audible), "missed a cycle");
}

void StreamDriver::lateInCycle(std::chrono::nanoseconds late) {
    policy_.cycleLate(Clock::now(), late, rate_);
}

std::optional<BufferSetting> StreamDriver::tick() {
    return changed(policy_.tick(Clock::now()), "clean for a while");
}

bool StreamDriver::quietForBuffer() const {
    const BufferSetting setting = policy_.current();
    return rest_.quietFrames() >= std::size_t{setting.periodFrames} * setting.periods;
}

bool StreamDriver::beginRest() {
    seenAtRest_ = rest_.seen();
    resting_.store(true, std::memory_order_release);
    // A message that came after the render that found the rest, before resting_ was set, saw
    // no rest to end: it ends it here.
    if (rest_.messagedSince(seenAtRest_)) {
        resting_.store(false, std::memory_order_release);
        return false;
    }
    rest_.forgetQuiet();
    return true;
}

bool StreamDriver::endRest() {
    if (!resting() || !rest_.messagedSince(seenAtRest_)) return false;
    resting_.store(false, std::memory_order_release);
    return true;
}

void StreamDriver::log(LogLevel level, const char* text, const char* detail) {
    AudioEvent event;
    event.level = level;
    event.text = text;
    event.detail = detail;
    log_.post(event);
}

void StreamDriver::logBuffer(const char* why) { logBuffer(why, policy_.current()); }

void StreamDriver::logBuffer(const char* why, const BufferSetting& setting) {
    AudioEvent event;
    event.kind = AudioEvent::Kind::Buffer;
    event.text = why;
    event.setting = setting;
    event.rate = rate_;
    event.pinned = pinned_;
    log_.post(event);
}

}  // namespace velune
