#pragma once

// The benchmark's figures as a table for people and as JSON for tools.

#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "events.h"
#include "measurements.h"

namespace velune::bench {

struct Results {
    std::vector<Figures> runs;                // a subject on a server and a sink each
    std::map<std::string, Cost> serverAlone;  // the floor, by server (on its null sink)
    std::vector<EventFigures> events;
};

void printTable(std::ostream& out, const Results& results, const Plan& plan);
bool writeJson(const std::filesystem::path& file, const Results& results, const Plan& plan);

}  // namespace velune::bench
