#pragma once

// The benchmark's figures as a table for people and as JSON for tools.

#include <filesystem>
#include <ostream>
#include <vector>

#include "measurements.h"

namespace velune::bench {

void printTable(std::ostream& out, const std::vector<Figures>& all, const Plan& plan);
bool writeJson(const std::filesystem::path& file, const std::vector<Figures>& all, const Plan& plan);

}  // namespace velune::bench
