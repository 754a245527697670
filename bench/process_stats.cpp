#include "process_stats.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace velune::bench {
namespace {

std::optional<double> statusFieldMb(const std::string& status, const std::string& field) {
    const std::size_t at = status.find(field + ":");
    if (at == std::string::npos) return std::nullopt;
    std::istringstream value(status.substr(at + field.size() + 1));
    double kilobytes = 0;
    if (!(value >> kilobytes)) return std::nullopt;
    return kilobytes / 1024.0;
}

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<Memory> memoryOf(pid_t pid) {
    const std::string status = readAll("/proc/" + std::to_string(pid) + "/status");
    const auto peak = statusFieldMb(status, "VmHWM");
    const auto resident = statusFieldMb(status, "VmRSS");
    if (!peak || !resident) return std::nullopt;
    const std::string rollup = readAll("/proc/" + std::to_string(pid) + "/smaps_rollup");
    const double own = statusFieldMb(rollup, "Private_Clean").value_or(0) +
                       statusFieldMb(rollup, "Private_Dirty").value_or(0);
    return Memory{*peak, *resident, own};
}

ProcessorUse processorUseOf(pid_t pid) {
    ProcessorUse use;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        // schedstat: nanoseconds on the processor, nanoseconds waiting for one, time slices.
        std::istringstream schedstat(readAll(task.path() / "schedstat"));
        long long running = 0;
        long long waiting = 0;
        long long slices = 0;
        if (!(schedstat >> running >> waiting >> slices)) continue;
        use.cpu += std::chrono::nanoseconds(running);
        use.slices += slices;
    }
    return use;
}

}  // namespace velune::bench
