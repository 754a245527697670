#pragma once

// What the kernel knows about a running process: its resident memory, and the processor time and
// the wake-ups of all its threads.

#include <sys/types.h>

#include <chrono>
#include <optional>

namespace velune::bench {

struct Memory {
    double peakMb = 0;      // the highest resident set so far (VmHWM)
    double residentMb = 0;  // now (VmRSS)
    double privateMb = 0;   // of that, the pages no other process shares (libraries and fonts
                            // already in memory for other programs are not)
};
std::optional<Memory> memoryOf(pid_t pid);

// What all threads of a process have used so far (a thread that has ended takes its share with
// it).
struct ProcessorUse {
    std::chrono::nanoseconds cpu{0};
    long long slices = 0;  // times a thread was put on a processor: each wake-up is one
};
ProcessorUse processorUseOf(pid_t pid);

}  // namespace velune::bench
