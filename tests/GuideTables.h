// Reads the tables of the operator's guide (docs/operator-guide.md), so that
// tests can hold them to the code they describe. Header-only; the test's own
// thread only; needs VELMAR_SOURCE_DIR.
#pragma once

#include <fstream>
#include <regex>
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

// The log lines of the troubleshooting table as patterns, each quoted line
// of a row's first cell one pattern: the upper-case placeholders (HOST, N,
// NAME, ...) stand for any text, "..." for any start, middle or end.
inline std::vector<std::regex> logLinePatterns() {
    const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    const std::regex placeholder(
        "\\b(HOST|PORT|ADDRESS|N|NAME|FILE|PATH|PROGRAM|RELAY|SOURCE|CAUSE|REQUEST|KEY|TEXT|"
        "TOOL|FS|C)\\b");
    std::vector<std::regex> patterns;
    for (const std::vector<std::string>& row : tableRows("## Troubleshooting")) {
        const std::string cell = row.at(0) + ", ";
        for (size_t at = 0, end; (end = cell.find("`, ", at)) != std::string::npos; at = end + 3) {
            std::string line = cell.substr(at + 1, end - at - 1);
            for (size_t dots; (dots = line.find("...")) != std::string::npos;)
                line.replace(dots, 3, "\x01");
            line =
                std::regex_replace(std::regex_replace(line, special, R"(\$&)"), placeholder, ".+");
            patterns.emplace_back(std::regex_replace(line, std::regex("\x01"), ".*"));
        }
    }
    return patterns;
}

}  // namespace guide
