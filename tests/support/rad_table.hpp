// Reads the table of a .rad file for tests.
#pragma once

#include "test_support.hpp"

#include <sstream>
#include <string>
#include <vector>

namespace zt {

// The numbers of every table line (the lines not starting with "#"): the ring,
// then mean, error and weight for each column.
inline std::vector<std::vector<double>> rad_table(const std::string& text) {
    std::vector<std::vector<double>> rows;
    for (const std::string& line : split_lines(text)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream in(line);
        std::vector<double> row;
        for (double v; in >> v;)
            row.push_back(v);
        rows.push_back(row);
    }
    return rows;
}

} // namespace zt
