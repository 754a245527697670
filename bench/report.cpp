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

// One figure for each load, "idle / one busy / both busy".
std::string perLoad(const Figures& f,
                    const std::function<std::string(const PlayingFigures&)>& figure) {
    std::string text;
    for (const PlayingFigures& p : f.playing) text += (text.empty() ? "" : " / ") + figure(p);
    return text.empty() ? "-" : text;
}

struct Row {
    std::string label;
    std::function<std::string(const Figures&)> value;
    bool everySink = false;  // shown for the other sinks too, not only for the null sink
};

std::string medianAndMax(const std::vector<double>& values) {
    if (values.empty()) return "-";
    return number(median(values)) + " / " + number(*std::max_element(values.begin(), values.end()));
}

std::vector<Row> rows(const Results& results) {
    return {
        {"key->sound median (ms)",
         [](const Figures& f) {
             return perLoad(f, [](const auto& p) { return number(median(p.latencyMs)); });
         },
         true},
        {"key->sound max (ms)",
         [](const Figures& f) {
             return perLoad(f, [](const auto& p) {
                 return p.latencyMs.empty()
                            ? "-"
                            : number(*std::max_element(p.latencyMs.begin(), p.latencyMs.end()));
             });
         },
         true},
        {"  timed presses of all",
         [](const Figures& f) {
             return perLoad(f, [](const auto& p) {
                 return std::to_string(p.latencyMs.size()) + "/" + std::to_string(p.notes) +
                        (p.unclocked > 0 ? " (" + std::to_string(p.unclocked) + " unclocked)" : "");
             });
         },
         true},
        {"  method error, median (+/- ms)",
         [](const Figures& f) {
             return perLoad(f, [](const auto& p) { return number(median(p.errorMs), 2); });
         },
         true},
        {"notes heard",
         [](const Figures& f) {
             return perLoad(f, [](const auto& p) { return std::to_string(p.onsets); });
         },
         true},
        {"dropouts",
         [](const Figures& f) {
             return perLoad(f, [](const auto& p) { return std::to_string(p.dropouts); });
         },
         true},
        {"buffer in force (frames x periods)",
         [](const Figures& f) { return perLoad(f, [](const auto& p) { return p.buffer; }); }, true},
        {"machine stalls (longest, ms)",
         [](const Figures& f) {
             return perLoad(f, [](const auto& p) {
                 if (!p.stalls.watched) return std::string("-");
                 return std::to_string(p.stalls.count) +
                        (p.stalls.count > 0 ? " (" + number(p.stalls.longestMs, 0) + ")" : "");
             });
         },
         true},
        {"first note after a rest, each (ms)",
         [](const Figures& f) {
             std::string text;
             for (double ms : f.afterRest) text += (text.empty() ? "" : " / ") + number(ms);
             return text.empty() ? "-" : text;
         }},
        {"CPU playing, program + server (%)",
         [](const Figures& f) {
             return f.playingProgram
                        ? number(f.playingProgram->cpuPercent + f.playingServer->cpuPercent, 2)
                        : "-";
         },
         true},
        {"wake-ups playing, program + server (/s)",
         [](const Figures& f) {
             return f.playingProgram ? number(f.playingProgram->wakeupsPerSecond +
                                              f.playingServer->wakeupsPerSecond)
                                     : "-";
         }},
        {"CPU at rest, program + server (%)",
         [](const Figures& f) {
             return f.restProgram ? number(f.restProgram->cpuPercent + f.restServer->cpuPercent, 2)
                                  : "-";
         },
         true},
        {"  of which the server (%)",
         [](const Figures& f) { return f.restServer ? number(f.restServer->cpuPercent, 2) : "-"; }},
        {"  server alone, the floor (%)",
         [&results](const Figures& f) {
             const auto floor = results.serverAlone.find(f.server);
             return floor == results.serverAlone.end() ? "-" : number(floor->second.cpuPercent, 2);
         }},
        {"wake-ups at rest, program + server (/s)",
         [](const Figures& f) {
             return f.restProgram
                        ? number(f.restProgram->wakeupsPerSecond + f.restServer->wakeupsPerSecond)
                        : "-";
         },
         true},
        {"  of which the program (/s)",
         [](const Figures& f) {
             return f.restProgram ? number(f.restProgram->wakeupsPerSecond) : "-";
         }},
        {"  server alone, the floor (/s)",
         [&results](const Figures& f) {
             const auto floor = results.serverAlone.find(f.server);
             return floor == results.serverAlone.end() ? "-"
                                                       : number(floor->second.wakeupsPerSecond);
         }},
        {"start-up to active window, median (ms)",
         [](const Figures& f) { return number(median(f.startupMs)); }},
        {"peak resident after start-up (MB)",
         [](const Figures& f) {
             return number(f.afterStart ? std::optional(f.afterStart->peakMb) : std::nullopt);
         }},
    };
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text)
        quoted += (c == '"' || c == '\\') ? std::string{'\\', c} : std::string{c};
    return quoted + "\"";
}

std::string jsonArray(const std::vector<double>& values) {
    std::string text = "[";
    for (std::size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + number(values[i], 3);
    return text + "]";
}

std::string jsonCost(const std::optional<Cost>& cost) {
    if (!cost) return "null";
    return "{\"cpu_percent\": " + number(cost->cpuPercent, 3) +
           ", \"wakeups_per_second\": " + number(cost->wakeupsPerSecond, 1) + "}";
}

void writeRun(std::ostream& out, const Figures& f) {
    out << "    {\"subject\": " << jsonString(f.subject) << ", \"server\": " << jsonString(f.server)
        << ", \"sink\": " << jsonString(f.sink)
        << ",\n     \"playing_program\": " << jsonCost(f.playingProgram)
        << ", \"playing_server\": " << jsonCost(f.playingServer)
        << ",\n     \"rest_program\": " << jsonCost(f.restProgram)
        << ", \"rest_server\": " << jsonCost(f.restServer)
        << ", \"after_rest_ms\": " << jsonArray(f.afterRest)
        << ", \"peak_resident_mb\": " << (f.afterStart ? number(f.afterStart->peakMb, 3) : "null")
        << ", \"startup_ms\": " << jsonArray(f.startupMs)
        << ",\n     \"quantum\": " << jsonString(f.quantum) << ",\n     \"playing\": [";
    for (std::size_t i = 0; i < f.playing.size(); ++i) {
        const PlayingFigures& p = f.playing[i];
        out << (i ? ",\n       " : "\n       ") << "{\"busy_cores\": " << p.busyCores
            << ", \"notes\": " << p.notes << ", \"unclocked\": " << p.unclocked
            << ", \"onsets\": " << p.onsets << ", \"dropouts\": " << p.dropouts
            << ", \"buffer\": " << jsonString(p.buffer) << ", \"machine_stalls\": "
            << (p.stalls.watched ? std::to_string(p.stalls.count) : "null")
            << ", \"longest_stall_ms\": "
            << (p.stalls.watched ? number(p.stalls.longestMs, 1) : "null")
            << ", \"key_to_sound_ms\": " << jsonArray(p.latencyMs)
            << ", \"method_error_ms\": " << jsonArray(p.errorMs) << "}";
    }
    out << "],\n     \"problems\": [";
    for (std::size_t i = 0; i < f.problems.size(); ++i)
        out << (i ? ", " : "") << jsonString(f.problems[i]);
    out << "]}";
}

std::string machine() {
    utsname name{};
    ::uname(&name);
    std::ifstream in("/proc/loadavg");
    std::string one, five;
    in >> one >> five;
    return std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + name.sysname + " " +
           name.release + ", load average " + one + " " + five;
}

constexpr int kLabel = 38, kColumn = 24, kEventLabel = 48;

// One table: a column for each run, a line for each row.
void printColumns(std::ostream& out, const std::vector<const Figures*>& runs,
                  const std::vector<Row>& rows, bool sinkInHeading) {
    out << std::left << std::setw(kLabel) << "";
    for (const Figures* f : runs)
        out << std::right << std::setw(kColumn)
            << f->subject + " " + (sinkInHeading ? f->sink : f->server);
    out << "\n";
    for (const Row& row : rows) {
        out << std::left << std::setw(kLabel) << row.label;
        for (const Figures* f : runs) out << std::right << std::setw(kColumn) << row.value(*f);
        out << "\n";
    }
}

std::string yesNo(bool yes) { return yes ? "yes" : "no"; }

// The events, a column for each subject: whether each happened, and the notes after it.
void printEvents(std::ostream& out, const std::vector<EventFigures>& events) {
    std::vector<std::string> subjects;
    for (const EventFigures& e : events) {
        if (std::find(subjects.begin(), subjects.end(), e.subject) == subjects.end())
            subjects.push_back(e.subject);
    }
    out << "\nEvents on PulseAudio, on a quiet machine: the sink suspended (1 s after the last "
           "stream\npaused), the stream moved to a second sink after the 5th of 10 notes, the "
           "server stopped\nfor 3 s (SIGSTOP); notes 0.4 s apart after each\n\n"
        << std::left << std::setw(kEventLabel) << "";
    for (const std::string& subject : subjects) out << std::right << std::setw(kColumn) << subject;
    out << "\n";
    const std::vector<std::pair<std::string, std::function<std::string(const EventFigures&)>>>
        lines{{"happened", [](const EventFigures& e) { return yesNo(e.happened); }},
              {"first note after, key->sound (ms)",
               [](const EventFigures& e) { return number(e.firstMs); }},
              {"notes after, key->sound med / max (ms)",
               [](const EventFigures& e) { return medianAndMax(e.afterMs); }},
              {"notes after heard / played",
               [](const EventFigures& e) {
                   return std::to_string(e.heard) + " / " + std::to_string(e.played);
               }},
              {"dropouts", [](const EventFigures& e) { return std::to_string(e.after.dropouts); }},
              {"buffer in force", [](const EventFigures& e) { return e.after.buffer; }}};
    for (Event event : kAllEvents) {
        for (const auto& [label, value] : lines) {
            std::string text;
            for (const std::string& subject : subjects) {
                const auto found = std::find_if(events.begin(), events.end(), [&](const auto& e) {
                    return e.event == event && e.subject == subject;
                });
                text += found == events.end() ? std::string(kColumn - 1, ' ') + "-" : "";
                if (found != events.end()) {
                    std::ostringstream cell;
                    cell << std::right << std::setw(kColumn) << value(*found);
                    text += cell.str();
                }
            }
            if (text.find_first_not_of(" -") == std::string::npos) break;
            out << std::left << std::setw(kEventLabel) << std::string(nameOf(event)) + ": " + label
                << text << "\n";
        }
    }
    for (const EventFigures& e : events) {
        for (const std::string& problem : e.problems)
            out << e.subject << ", " << nameOf(e.event) << ": " << problem << "\n";
    }
}

}  // namespace

void printTable(std::ostream& out, const Results& results, const Plan& plan) {
    std::vector<const Figures*> onNull, onOthers;
    for (const Figures& f : results.runs) (f.sink == "null" ? onNull : onOthers).push_back(&f);
    out << "\nVelune benchmark: Xvfb + openbox, null sink at 50000 Hz; " << machine() << "\n"
        << plan.notes
        << " notes 0.4 s apart under each load; figures given as idle / one core busy / both "
        << "cores busy\n\n";
    if (!onNull.empty()) printColumns(out, onNull, rows(results), false);
    out << "\nKey->sound runs from the moment the X server acted on XTEST's key press (the middle "
           "of\n"
           "the request's round trip) to where the note rises above what sounded before the key\n"
           "in the recording of the sink's monitor (see noteStart in rig/audio_analysis.h), "
           "each\n"
           "sample timed by the sink's clock (see rig/time_base.h). Dropouts are runs of exact\n"
           "silence inside the sound. The buffer in force is the last one the program printed;\n"
           "'?' when it printed none. A machine stall is where a thread of the highest real-time\n"
           "priority on each processor, asked to wake every millisecond, woke late by as long as\n"
           "the output's buffer lasts (5 ms on PulseAudio, 1.5 ms on PipeWire), at once or in\n"
           "stalls of half of it or more within twice that (see rig/stall_watch.h); '(longest)'\n"
           "is the most time lost so: a click in the same stretch may be the machine's, not the\n"
           "program's; '-' when the threads could not be made real-time. Processor time, playing\n"
           "(on a quiet machine, the rig's recording paused on PulseAudio) or at rest, is that of\n"
           "the quietest second of the stretch (see costs in bench/measurements.cpp).\n";
    for (const Figures& f : results.runs) {
        if (!f.quantum.empty()) out << f.subject << " on " << f.server << ": " << f.quantum << "\n";
        for (const std::string& problem : f.problems)
            out << f.subject << " on " << f.server << ", " << f.sink << " sink: " << problem
                << "\n";
    }
    if (!onOthers.empty()) {
        out << "\nOther sinks, on PulseAudio: tunnel (module-tunnel-sink-new into a second "
               "server's null\nsink, which is recorded; no rewinds), 44k and 48k (null sinks "
               "at the cards' rates)\n\n";
        std::vector<Row> shown;
        for (const Row& row : rows(results)) {
            if (row.everySink) shown.push_back(row);
        }
        printColumns(out, onOthers, shown, true);
    }
    if (!results.events.empty()) printEvents(out, results.events);
}

bool writeJson(const std::filesystem::path& file, const Results& results, const Plan& plan) {
    std::ofstream out(file);
    out << "{\n  \"machine\": " << jsonString(machine())
        << ",\n  \"notes_per_load\": " << plan.notes << ",\n  \"server_alone\": {";
    bool first = true;
    for (const auto& [server, cost] : results.serverAlone) {
        out << (first ? "" : ", ") << jsonString(server) << ": " << jsonCost(cost);
        first = false;
    }
    out << "},\n  \"runs\": [\n";
    for (std::size_t i = 0; i < results.runs.size(); ++i) {
        writeRun(out, results.runs[i]);
        out << (i + 1 < results.runs.size() ? ",\n" : "\n");
    }
    out << "  ],\n  \"events\": [";
    for (std::size_t i = 0; i < results.events.size(); ++i) {
        const EventFigures& e = results.events[i];
        out << (i ? ",\n    " : "\n    ") << "{\"subject\": " << jsonString(e.subject)
            << ", \"event\": " << jsonString(nameOf(e.event))
            << ", \"happened\": " << (e.happened ? "true" : "false")
            << ", \"first_ms\": " << (e.firstMs ? number(*e.firstMs, 3) : "null")
            << ", \"after_ms\": " << jsonArray(e.afterMs) << ", \"heard\": " << e.heard
            << ", \"played\": " << e.played << ", \"dropouts\": " << e.after.dropouts
            << ", \"buffer\": " << jsonString(e.after.buffer) << "}";
    }
    out << "\n  ]\n}\n";
    return static_cast<bool>(out);
}

}  // namespace velune::bench
