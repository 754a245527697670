#include "stall_watch.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPeriod = std::chrono::milliseconds(1);

timespec timespecOf(Clock::time_point t) {
    const auto sinceEpoch = t.time_since_epoch();
    return {
        static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count()),
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              sinceEpoch % std::chrono::seconds(1))
                              .count())};
}

}  // namespace

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
    for (;;) {
        due += kPeriod;
        const timespec wake = timespecOf(due);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        const Clock::time_point now = Clock::now();
        const double lateMs = std::chrono::duration<double, std::milli>(now - due).count();
        std::lock_guard lock(mutex_);
        if (stop_) return;
        if (lateMs >= stallMs_) {
            ++seen_.count;
            seen_.longestMs = std::max(seen_.longestMs, lateMs);
            seen_.seen.push_back({due, now});
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
