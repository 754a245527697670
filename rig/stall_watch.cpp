#include "stall_watch.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPeriod = std::chrono::milliseconds(1);
// A wake-up later than this, or than half the threshold, adds up with others; less is the
// timer's own slack, or the time an interrupt takes, which a loaded machine gives often.
constexpr double kNoticedMs = 1;

double msOf(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

timespec timespecOf(Clock::time_point t) {
    const auto sinceEpoch = t.time_since_epoch();
    return {
        static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count()),
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              sinceEpoch % std::chrono::seconds(1))
                              .count())};
}

}  // namespace

std::optional<Stall> LostTime::wake(TimePoint due, TimePoint woke) {
    if (msOf(woke - due) >= std::max(kNoticedMs, stallMs_ / 2)) recent_.push_back({due, woke});
    while (!recent_.empty() && msOf(woke - recent_.front().due) > 2 * stallMs_) recent_.pop_front();
    double lostMs = 0;
    for (const Stall& late : recent_) lostMs += msOf(late.woke - late.due);
    if (lostMs < stallMs_) return std::nullopt;
    const Stall stall{recent_.front().due, woke, lostMs};
    recent_.clear();  // one stall is counted once
    return stall;
}

StallWatch::StallWatch(double stallMs) : stallMs_(stallMs) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return;
    processors_ = CPU_COUNT(&cpus);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &cpus)) threads_.emplace_back([this, cpu] { watch(cpu); });
    }
}

void StallWatch::watch(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    const sched_param highest{sched_get_priority_max(SCHED_FIFO)};
    const bool realtime = pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0 &&
                          pthread_setschedparam(pthread_self(), SCHED_FIFO, &highest) == 0;
    {
        std::lock_guard lock(mutex_);
        // Watched only when every processor is.
        realtimeThreads_ += realtime ? 1 : 0;
        seen_.watched = realtimeThreads_ == processors_;
    }
    if (!realtime) return;
    // steady_clock is CLOCK_MONOTONIC: the times compare with the recorder's.
    Clock::time_point due = Clock::now();
    LostTime lost(stallMs_);
    for (;;) {
        due += kPeriod;
        const timespec wake = timespecOf(due);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        const Clock::time_point now = Clock::now();
        const std::optional<Stall> stall = lost.wake(due, now);
        std::lock_guard lock(mutex_);
        if (stop_) return;
        if (stall) {
            ++seen_.count;
            seen_.longestMs = std::max(seen_.longestMs, stall->lostMs);
            seen_.seen.push_back(*stall);
        }
        if (now > due + kPeriod) due = now;  // one stall is counted once, not once per period
    }
}

StallWatch::~StallWatch() { stop(); }

Stalls StallWatch::stalls() const {
    std::lock_guard lock(mutex_);
    return seen_;
}

Stalls StallWatch::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
    return stalls();
}

}  // namespace velune::rig
