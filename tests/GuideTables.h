// Reads the tables of the operator's guide (docs/operator-guide.md), so that
// tests can hold them to the code they describe. Header-only; the test's own
// thread only; needs VELMAR_SOURCE_DIR.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace guide {

// The cells of the table rows under the heading `heading` (a whole line such
// as "### Keys"), up to the next heading, without the header and rule rows:
// a row is a line beginning "| `", its cells trimmed, code quotes kept.
inline std::vector<std::vector<std::string>> tableRows(const std::string& heading) {
    std::ifstream in(VELMAR_SOURCE_DIR "/docs/operator-guide.md");
    std::vector<std::vector<std::string>> rows;
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, 1, "#") == 0) {
            inSection = line == heading;
            continue;
        }
        if (!inSection || line.compare(0, 3, "| `") != 0) continue;
        std::vector<std::string> cells;
        size_t from = 1;
        for (size_t bar; (bar = line.find(" |", from)) != std::string::npos; from = bar + 2) {
            std::string cell = line.substr(from, bar - from);
            cell.erase(0, cell.find_first_not_of(' '));
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    return rows;
}

}  // namespace guide
