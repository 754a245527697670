#pragma once

// What the kernel knows about a running process: its resident memory and the processor time of
// all its threads.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velune::bench {

struct Memory {
    double peakMb = 0;      // the highest resident set so far (VmHWM)
    double residentMb = 0;  // now (VmRSS)
    double privateMb = 0;   // of that, the pages no other process shares (libraries and fonts
                            // already in memory for other programs are not)
};
std::optional<Memory> memoryOf(pid_t pid);

struct ThreadTime {
    pid_t tid = 0;
    std::string name;
    std::chrono::nanoseconds cpu{0};
};
// Every thread of the process and the processor time it has used.
std::vector<ThreadTime> threadTimes(pid_t pid);
std::chrono::nanoseconds cpuTimeOf(pid_t pid);

}  // namespace velune::bench
