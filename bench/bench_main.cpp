// velune_bench: how soon Velune sounds after a key, whether it drops out, which buffer it plays
// with, and what it costs at rest, on a quiet machine and with one or both cores busy, on a
// private PulseAudio and a private PipeWire; then on PulseAudio sinks like the players' own (a
// tunnel, the cards' rates) and at the events of a player's day (the sink suspends, the sound
// moves to another sink, the server hangs); VMPK alongside as a reference when it is installed.

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "events.h"
#include "measurements.h"
#include "report.h"

namespace {

using namespace velune;
using namespace velune::bench;

constexpr const char* kUsage =
    "usage: velune_bench [options]\n"
    "  --program PATH            the Velune to measure (default: the one built alongside)\n"
    "  --also LABEL=PATH         another build of Velune, measured the same way in the same run\n"
    "  --setting LABEL=VAR=VALUE[,VAR=VALUE...]\n"
    "                            the Velune again, with its environment changed\n"
    "  --no-reference            leave VMPK out even when it is installed\n"
    "  --servers LIST            pulse, pipewire or both, comma-separated (default both)\n"
    "  --notes N                 notes played under each load (default 25: 10 s)\n"
    "  --sinks LIST              where to play, comma-separated: null (the rig's null sink, on\n"
    "                            every server), tunnel, 44k, 48k (PulseAudio sinks, played\n"
    "                            under each load), suspend, switch, hang (PulseAudio events);\n"
    "                            default null,tunnel,suspend,switch,hang\n"
    "  --program-log             show what each program wrote to standard error (the buffer\n"
    "                            it chose, each change and why) after each stretch\n"
    "  --json FILE               where the figures go as JSON (default bench-results.json)\n";

struct Options {
    std::string program = VELUNE_PROGRAM;
    std::vector<Subject> extra;
    bool reference = true;
    std::vector<rig::ServerKind> servers{rig::ServerKind::PulseAudio, rig::ServerKind::PipeWire};
    Plan plan;
    std::vector<rig::SinkKind> sinks{rig::SinkKind::Null, rig::SinkKind::Tunnel};
    std::vector<Event> events{Event::Suspend, Event::Switch, Event::Hang};
    std::string json = "bench-results.json";
};

std::pair<std::string, std::string> split(const std::string& text, char at) {
    const std::size_t i = text.find(at);
    if (i == std::string::npos)
        throw std::invalid_argument("expected '" + std::string(1, at) + "' in " + text);
    return {text.substr(0, i), text.substr(i + 1)};
}

std::vector<std::string> list(const std::string& text) {
    std::vector<std::string> items;
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        items.push_back(text.substr(from, comma - from));
        from = comma + 1;
    }
    return items;
}

Subject withSettings(const std::string& argument, const std::string& program) {
    const auto [label, settings] = split(argument, '=');
    Subject subject = veluneSubject(label, program);
    for (const std::string& setting : list(settings))
        subject.environment.push_back(split(setting, '='));
    return subject;
}

std::vector<rig::ServerKind> servers(const std::string& names) {
    std::vector<rig::ServerKind> kinds;
    for (const std::string& name : list(names)) {
        if (name != "pulse" && name != "pipewire")
            throw std::invalid_argument("no audio server called " + name);
        kinds.push_back(name == "pulse" ? rig::ServerKind::PulseAudio : rig::ServerKind::PipeWire);
    }
    return kinds;
}

// The sinks and the events named in `names`.
void chooseSinks(const std::string& names, Options& options) {
    options.sinks.clear();
    options.events.clear();
    for (const std::string& name : list(names)) {
        const auto event = std::find_if(std::begin(kAllEvents), std::end(kAllEvents),
                                        [&](Event e) { return name == nameOf(e); });
        if (event != std::end(kAllEvents)) {
            options.events.push_back(*event);
            continue;
        }
        const rig::SinkKind sink = rig::sinkNamed(name);
        if (sink == rig::SinkKind::SuspendOnIdle || sink == rig::SinkKind::TwoSinks)
            throw std::invalid_argument("no sink called " + name);
        options.sinks.push_back(sink);
    }
}

Options parse(int argc, char** argv) {
    Options options;
    std::vector<std::string> settings;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(argument + " needs a value");
            return argv[++i];
        };
        if (argument == "--help") throw std::invalid_argument("");
        if (argument == "--program")
            options.program = value();
        else if (argument == "--also") {
            const auto [label, path] = split(value(), '=');
            options.extra.push_back(veluneSubject(label, path));
        } else if (argument == "--setting")
            settings.push_back(value());
        else if (argument == "--no-reference")
            options.reference = false;
        else if (argument == "--servers")
            options.servers = servers(value());
        else if (argument == "--notes")
            options.plan.notes = std::max(5, std::stoi(value()));
        else if (argument == "--sinks")
            chooseSinks(value(), options);
        else if (argument == "--program-log")
            options.plan.programLog = true;
        else if (argument == "--json")
            options.json = value();
        else
            throw std::invalid_argument("unknown option " + argument);
    }
    for (const std::string& setting : settings)
        options.extra.push_back(withSettings(setting, options.program));
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& error) {
        const std::string problem = error.what();
        (problem.empty() ? std::cout : std::cerr)
            << (problem.empty() ? "" : problem + "\n") << kUsage;
        return problem.empty() ? 0 : 2;
    }
    std::vector<Subject> subjects{veluneSubject("velune", options.program)};
    subjects.insert(subjects.end(), options.extra.begin(), options.extra.end());
    if (options.reference) {
        if (const std::optional<Subject> reference = vmpkSubject()) subjects.push_back(*reference);
    }
    Results results;
    const auto has = [&](rig::SinkKind sink) {
        return std::find(options.sinks.begin(), options.sinks.end(), sink) != options.sinks.end();
    };
    for (rig::ServerKind server : options.servers) {
        if (!has(rig::SinkKind::Null)) break;
        try {
            rig::Rig rig(rig::RigConfig{options.program, server});
            rig.x().ensureNumLock();
            std::cerr << "[" << rig::nameOf(server) << "] the server alone" << std::endl;
            results.serverAlone[rig::nameOf(server)] = serverAlone(rig, options.plan.rest);
            for (const Subject& subject : subjects)
                results.runs.push_back(measure(rig, subject, options.plan));
        } catch (const std::exception& error) {
            std::cerr << "the benchmark stopped on " << rig::nameOf(server) << ": " << error.what()
                      << "\n";
        }
    }
    // The sinks and events a player meets are PulseAudio's; what does not depend on the sink
    // (start-up, memory, the first note after a rest) was measured on the null sink.
    Plan onSink = options.plan;
    onSink.everything = false;
    for (rig::SinkKind sink : options.sinks) {
        if (sink == rig::SinkKind::Null) continue;
        try {
            rig::Rig rig(rig::RigConfig{options.program, rig::ServerKind::PulseAudio, sink});
            rig.x().ensureNumLock();
            for (const Subject& subject : subjects)
                results.runs.push_back(measure(rig, subject, onSink));
        } catch (const std::exception& error) {
            std::cerr << "the benchmark stopped on the " << rig::nameOf(sink)
                      << " sink: " << error.what() << "\n";
        }
    }
    for (Event event : options.events) {
        for (const Subject& subject : subjects) {
            try {
                rig::Rig rig(
                    rig::RigConfig{options.program, rig::ServerKind::PulseAudio, sinkFor(event)});
                rig.x().ensureNumLock();
                results.events.push_back(measureEvent(rig, subject, event));
            } catch (const std::exception& error) {
                std::cerr << "the benchmark stopped at " << nameOf(event) << ": " << error.what()
                          << "\n";
            }
        }
    }
    printTable(std::cout, results, options.plan);
    if (!writeJson(options.json, results, options.plan)) {
        std::cerr << "cannot write " << options.json << "\n";
        return 1;
    }
    std::cout << "\nfigures written to " << options.json << "\n";
    return results.runs.empty() && results.events.empty() ? 1 : 0;
}
