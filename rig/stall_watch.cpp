#include "stall_watch.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPeriod = std::chrono::milliseconds(2);

}  // namespace

StallWatch::StallWatch() {
    thread_ = std::thread([this] {
        const sched_param lowest{sched_get_priority_min(SCHED_FIFO)};
        const bool realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &lowest) == 0;
        {
            std::lock_guard lock(mutex_);
            seen_.watched = realtime;
        }
        if (!realtime) return;
        // steady_clock is CLOCK_MONOTONIC: the times compare with the recorder's.
        Clock::time_point due = Clock::now();
        for (;;) {
            due += kPeriod;
            const auto sinceEpoch = due.time_since_epoch();
            const timespec wake{
                static_cast<time_t>(
                    std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count()),
                static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      sinceEpoch % std::chrono::seconds(1))
                                      .count())};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
            const Clock::time_point now = Clock::now();
            const double lateMs = std::chrono::duration<double, std::milli>(now - due).count();
            std::lock_guard lock(mutex_);
            if (stop_) return;
            if (lateMs >= kStallMs) {
                ++seen_.count;
                seen_.longestMs = std::max(seen_.longestMs, lateMs);
                seen_.seen.push_back({due, now});
                due = now;  // one stall is counted once, not once per period
            }
        }
    });
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
    if (thread_.joinable()) thread_.join();
    return stalls();
}

}  // namespace velune::rig
