#include "stall_watch.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>

namespace velune::bench {
namespace {

constexpr long kPeriodNs = 2'000'000;

long long nanosecondsOf(const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; }

timespec timespecOf(long long ns) {
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

}  // namespace

StallWatch::StallWatch() {
    thread_ = std::thread([this] {
        const sched_param lowest{sched_get_priority_min(SCHED_FIFO)};
        seen_.watched = pthread_setschedparam(pthread_self(), SCHED_FIFO, &lowest) == 0;
        if (!seen_.watched) return;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long due = nanosecondsOf(now);
        while (!stop_.load(std::memory_order_relaxed)) {
            due += kPeriodNs;
            const timespec wake = timespecOf(due);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
            clock_gettime(CLOCK_MONOTONIC, &now);
            const double lateMs = static_cast<double>(nanosecondsOf(now) - due) / 1e6;
            if (lateMs >= kStallMs) {
                ++seen_.count;
                seen_.longestMs = std::max(seen_.longestMs, lateMs);
                due = nanosecondsOf(now);  // one stall is counted once, not once per period
            }
        }
    });
}

StallWatch::~StallWatch() { stop(); }

Stalls StallWatch::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return seen_;
}

}  // namespace velune::bench
