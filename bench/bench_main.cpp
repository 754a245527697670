// velune_bench: how fast Velune answers a key, starts, and how much memory and processor it
// takes, measured on the end-to-end stage (Xvfb, openbox, a PulseAudio null sink) in one run;
// VMPK alongside as a reference when it is installed.

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_rig.h"
#include "measurements.h"
#include "report.h"

namespace {

using namespace velune::bench;

constexpr const char* kUsage =
    "usage: velune_bench [options]\n"
    "  --program PATH            the Velune to measure (default: the one built alongside)\n"
    "  --also LABEL=PATH         another build of Velune, measured the same way in the same run\n"
    "  --setting LABEL=VAR=VALUE[,VAR=VALUE...]\n"
    "                            the Velune again, with its environment changed\n"
    "  --no-reference            leave VMPK out even when it is installed\n"
    "  --presses N               key presses for key->sound (default 28, at least 20)\n"
    "  --starts N                starts for the start-up figures (default 5)\n"
    "  --sustain SECONDS         how long each dropout recording lasts (default 10)\n"
    "  --quick                   no instrument sweep and no dropout recordings\n"
    "  --measure LIST            only these, comma-separated: startup, idle, latency, dropouts,\n"
    "                            instruments (default all)\n"
    "  --json FILE               where the figures go as JSON (default bench-results.json)\n";

struct Options {
    std::string program = VELUNE_PROGRAM;
    std::vector<Subject> extra;
    bool reference = true;
    Plan plan;
    std::string json = "bench-results.json";
};

std::pair<std::string, std::string> split(const std::string& text, char at) {
    const std::size_t i = text.find(at);
    if (i == std::string::npos) throw std::invalid_argument("expected '" + std::string(1, at) + "' in " + text);
    return {text.substr(0, i), text.substr(i + 1)};
}

Subject withSettings(const std::string& argument, const std::string& program) {
    const auto [label, settings] = split(argument, '=');
    Subject subject = veluneSubject(label, program);
    std::string rest = settings;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        subject.environment.push_back(split(rest.substr(0, comma), '='));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return subject;
}

void choose(const std::string& list, Plan& plan) {
    plan.startup = plan.idleCpu = plan.latency = plan.dropouts = plan.instruments = false;
    std::string rest = list + ",";
    for (std::size_t comma; (comma = rest.find(',')) != std::string::npos; rest.erase(0, comma + 1)) {
        const std::string name = rest.substr(0, comma);
        if (name == "startup") plan.startup = true;
        else if (name == "idle") plan.idleCpu = true;
        else if (name == "latency") plan.latency = true;
        else if (name == "dropouts") plan.dropouts = true;
        else if (name == "instruments") plan.instruments = true;
        else throw std::invalid_argument("nothing to measure called " + name);
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
        if (argument == "--program") options.program = value();
        else if (argument == "--also") {
            const auto [label, path] = split(value(), '=');
            options.extra.push_back(veluneSubject(label, path));
        } else if (argument == "--setting") settings.push_back(value());
        else if (argument == "--no-reference") options.reference = false;
        else if (argument == "--presses") options.plan.presses = std::max(20, std::stoi(value()));
        else if (argument == "--starts") options.plan.starts = std::max(1, std::stoi(value()));
        else if (argument == "--sustain") options.plan.sustain = std::chrono::seconds(std::max(1, std::stoi(value())));
        else if (argument == "--quick") options.plan.instruments = options.plan.dropouts = false;
        else if (argument == "--measure") choose(value(), options.plan);
        else if (argument == "--json") options.json = value();
        else throw std::invalid_argument("unknown option " + argument);
    }
    for (const std::string& setting : settings) options.extra.push_back(withSettings(setting, options.program));
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& error) {
        const std::string problem = error.what();
        (problem.empty() ? std::cout : std::cerr) << (problem.empty() ? "" : problem + "\n") << kUsage;
        return problem.empty() ? 0 : 2;
    }
    std::vector<Subject> subjects{veluneSubject("velune", options.program)};
    subjects.insert(subjects.end(), options.extra.begin(), options.extra.end());
    if (options.reference) {
        if (const std::optional<Subject> reference = vmpkSubject()) subjects.push_back(*reference);
    }

    std::vector<Figures> all;
    try {
        Stage stage;
        stage.x().ensureNumLock();

        all.resize(subjects.size());
        // The starts take turns, so that every subject meets the same moments of the machine.
        for (int round = 0; options.plan.startup && round < options.plan.starts; ++round) {
            std::cerr << "start-up, round " << round + 1 << " of " << options.plan.starts << std::endl;
            for (std::size_t i = 0; i < subjects.size(); ++i) measureStart(stage, subjects[i], all[i].startup);
        }
        for (std::size_t i = 0; i < subjects.size(); ++i) measure(stage, subjects[i], options.plan, all[i]);
    } catch (const std::exception& error) {
        std::cerr << "the benchmark stopped: " << error.what() << "\n";
        if (all.empty()) return 1;
    }
    printTable(std::cout, all, options.plan);
    if (!writeJson(options.json, all, options.plan)) {
        std::cerr << "cannot write " << options.json << "\n";
        return 1;
    }
    std::cout << "\nfigures written to " << options.json << "\n";
    return 0;
}
