#include "report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iomanip>
#include <sstream>

namespace velune::bench {
namespace {

std::optional<double> median(std::vector<double> values) {
    if (values.empty()) return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string number(std::optional<double> value, int decimals = 1) {
    if (!value) return "-";
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << *value;
    return text.str();
}

std::string range(const std::vector<double>& values, int decimals = 1) {
    if (values.empty()) return "-";
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return number(*low, decimals) + "-" + number(*high, decimals);
}

std::optional<double> dropoutsWith(const Figures& f, int busy) {
    for (const DropoutFigures& d : f.dropouts) {
        if (d.busyCores == busy) return d.dropouts;
    }
    return std::nullopt;
}

struct Row {
    std::string label;
    std::function<std::string(const Figures&)> value;
};

std::vector<Row> rows(const Plan& plan) {
    const std::string sustain = std::to_string(plan.sustain.count());
    return {
        {"key->sound, median (ms)", [](const Figures& f) { return number(median(f.latency.ms)); }},
        {"key->sound, min-max (ms)", [](const Figures& f) { return range(f.latency.ms); }},
        {"  presses heard", [](const Figures& f) {
             return std::to_string(f.latency.ms.size()) + "/" + std::to_string(f.latency.presses);
         }},
        {"  method error, median (max) (+/- ms)", [](const Figures& f) {
             if (f.latency.errorMs.empty()) return std::string("-");
             return number(median(f.latency.errorMs), 2) + " (" +
                    number(*std::max_element(f.latency.errorMs.begin(), f.latency.errorMs.end()), 1) + ")";
         }},
        {"start-up to window mapped, median (ms)", [](const Figures& f) { return number(median(f.startup.mappedMs), 0); }},
        {"  min-max of " + std::to_string(plan.starts) + " starts (ms)", [](const Figures& f) { return range(f.startup.mappedMs, 0); }},
        {"start-up to window active, median (ms)", [](const Figures& f) { return number(median(f.startup.activeMs), 0); }},
        {"start-up to first sound, median (ms)", [](const Figures& f) { return number(median(f.startup.firstSoundMs), 0); }},
        {"peak resident after start-up (MB)", [](const Figures& f) {
             return number(f.afterStart ? std::optional(f.afterStart->peakMb) : std::nullopt);
         }},
        {"  of which its own, not shared (MB)", [](const Figures& f) {
             return number(f.afterStart ? std::optional(f.afterStart->privateMb) : std::nullopt);
         }},
        {"peak resident after all instruments (MB)", [](const Figures& f) {
             return number(f.afterInstruments ? std::optional(f.afterInstruments->peakMb) : std::nullopt);
         }},
        {"  instruments picked", [](const Figures& f) { return std::to_string(f.instrumentsPicked) + "/128"; }},
        {"idle CPU, program (% of a core)", [](const Figures& f) {
             return number(f.idle ? std::optional(f.idle->programPercent) : std::nullopt, 2);
         }},
        {"idle CPU, audio server (% of a core)", [](const Figures& f) {
             return number(f.idle ? std::optional(f.idle->serverPercent) : std::nullopt, 2);
         }},
        {"dropouts in " + sustain + " s, other core busy", [](const Figures& f) { return number(dropoutsWith(f, 1), 0); }},
        {"dropouts in " + sustain + " s, both cores busy", [](const Figures& f) { return number(dropoutsWith(f, 2), 0); }},
    };
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string jsonNumber(std::optional<double> value) { return value ? number(value, 3) : "null"; }

std::string jsonArray(const std::vector<double>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + number(values[i], 3);
    return text + "]";
}

void writeSubject(std::ostream& out, const Figures& f) {
    out << "    {\n      \"subject\": " << jsonString(f.subject) << ",\n";
    out << "      \"key_to_sound_ms\": " << jsonArray(f.latency.ms) << ",\n";
    out << "      \"key_to_sound_median_ms\": " << jsonNumber(median(f.latency.ms)) << ",\n";
    out << "      \"presses\": " << f.latency.presses << ",\n";
    out << "      \"method_error_ms\": " << jsonArray(f.latency.errorMs) << ",\n";
    out << "      \"time_base_error_ms\": " << jsonNumber(f.latency.timeBaseErrorMs) << ",\n";
    out << "      \"key_injection_error_ms\": " << jsonNumber(f.latency.injectionMs) << ",\n";
    out << "      \"sink_drift_ppm\": " << jsonNumber(f.latency.driftPpm) << ",\n";
    out << "      \"sink_latency_ms\": " << jsonNumber(f.latency.sinkLatencyMs) << ",\n";
    out << "      \"start_to_mapped_ms\": " << jsonArray(f.startup.mappedMs) << ",\n";
    out << "      \"start_to_active_ms\": " << jsonArray(f.startup.activeMs) << ",\n";
    out << "      \"start_to_first_sound_ms\": " << jsonArray(f.startup.firstSoundMs) << ",\n";
    out << "      \"failed_starts\": " << f.startup.failed << ",\n";
    out << "      \"peak_resident_after_start_mb\": "
        << jsonNumber(f.afterStart ? std::optional(f.afterStart->peakMb) : std::nullopt) << ",\n";
    out << "      \"peak_resident_after_instruments_mb\": "
        << jsonNumber(f.afterInstruments ? std::optional(f.afterInstruments->peakMb) : std::nullopt) << ",\n";
    out << "      \"private_after_start_mb\": "
        << jsonNumber(f.afterStart ? std::optional(f.afterStart->privateMb) : std::nullopt) << ",\n";
    out << "      \"instruments_picked\": " << f.instrumentsPicked << ",\n";
    out << "      \"idle_cpu_percent\": " << jsonNumber(f.idle ? std::optional(f.idle->programPercent) : std::nullopt)
        << ",\n";
    out << "      \"idle_audio_server_cpu_percent\": "
        << jsonNumber(f.idle ? std::optional(f.idle->serverPercent) : std::nullopt) << ",\n";
    out << "      \"idle_busiest_threads\": {";
    if (f.idle) {
        for (std::size_t i = 0; i < f.idle->threads.size(); ++i) {
            out << (i ? ", " : "") << jsonString(f.idle->threads[i].first) << ": "
                << number(f.idle->threads[i].second, 3);
        }
    }
    out << "},\n      \"dropouts\": [";
    for (std::size_t i = 0; i < f.dropouts.size(); ++i) {
        const DropoutFigures& d = f.dropouts[i];
        out << (i ? ", " : "") << "{\"busy_cores\": " << d.busyCores << ", \"seconds\": " << number(d.seconds, 2)
            << ", \"dropouts\": " << d.dropouts << ", \"gaps_ms\": " << jsonArray(d.gapsMs)
            << ", \"sounding_share\": " << number(d.soundingShare, 3) << "}";
    }
    out << "],\n      \"problems\": [";
    for (std::size_t i = 0; i < f.problems.size(); ++i) out << (i ? ", " : "") << jsonString(f.problems[i]);
    out << "]\n    }";
}

std::string machine() {
    utsname name{};
    ::uname(&name);
    return std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + name.sysname + " " + name.release;
}

// The load averages over 1, 5 and 15 minutes: other work on the machine shows in the figures.
std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    double one = 0, five = 0, fifteen = 0;
    in >> one >> five >> fifteen;
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << one << " " << five << " " << fifteen;
    return text.str();
}

}  // namespace

void printTable(std::ostream& out, const std::vector<Figures>& all, const Plan& plan) {
    constexpr int kLabel = 44, kColumn = 16;
    out << "\nVelune benchmark: Xvfb + openbox, PulseAudio null sink at 50000 Hz, " << machine()
        << "\nload average at the end: " << loadAverage() << "\n\n";
    out << std::left << std::setw(kLabel) << "";
    for (const Figures& f : all) out << std::right << std::setw(kColumn) << f.subject;
    out << "\n";
    for (const Row& row : rows(plan)) {
        out << std::left << std::setw(kLabel) << row.label;
        for (const Figures& f : all) out << std::right << std::setw(kColumn) << row.value(f);
        out << "\n";
    }
    out << "\nKey->sound runs from the moment XTEST's key press is acted on by the X server (the\n"
           "middle of the request's round trip) to the first sample at -60 dBFS or louder in the\n"
           "recording of the sink's monitor, each sample timed by the sink's clock: every 25 ms the\n"
           "server's answer about the stream (write index, sink latency, transport time) gives the\n"
           "time the monitor's samples were played, the latency it reports subtracted from the\n"
           "time the answer came; the lowest of those within 5 s of a press pin the clock (the\n"
           "first seconds of the stream and an idle sink are left out). A press's error bound adds\n"
           "the spread of those lowest answers and the sink's timer slack, half the key injection's\n"
           "round trip and one sample.\n";
    for (const Figures& f : all) {
        out << f.subject << ": sink drift " << number(f.latency.driftPpm, 0) << " ppm, sink latency "
            << number(f.latency.sinkLatencyMs, 2) << " ms";
        if (f.idle && !f.idle->threads.empty()) {
            out << "; idle threads:";
            for (const auto& [name, percent] : f.idle->threads) out << " " << name << " " << number(percent, 2) << "%";
        }
        for (const std::string& problem : f.problems) out << "; " << problem;
        out << "\n";
    }
}

bool writeJson(const std::filesystem::path& file, const std::vector<Figures>& all, const Plan& plan) {
    std::ofstream out(file);
    out << "{\n  \"machine\": " << jsonString(machine()) << ",\n";
    out << "  \"load_average\": " << jsonString(loadAverage()) << ",\n";
    out << "  \"rig\": \"Xvfb + openbox, PulseAudio null sink at 50000 Hz\",\n";
    out << "  \"plan\": {\"presses\": " << plan.presses << ", \"starts\": " << plan.starts
        << ", \"idle_seconds\": " << plan.idle.count() << ", \"sustain_seconds\": " << plan.sustain.count()
        << "},\n  \"subjects\": [\n";
    for (std::size_t i = 0; i < all.size(); ++i) {
        writeSubject(out, all[i]);
        out << (i + 1 < all.size() ? ",\n" : "\n");
    }
    out << "  ]\n}\n";
    return static_cast<bool>(out);
}

}  // namespace velune::bench
