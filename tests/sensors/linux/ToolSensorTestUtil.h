// Fixtures of the tests of the host sensors that run tools: the fake tools of
// tests/stubs installed under the per-test platform root, the files that
// steer them, and the fixtures of tests/fixtures/toolsensors.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "HostSensorTestUtil.h"

namespace tooltest {

inline std::string fixture(const std::string& relative) {
    return std::string(VELMAR_SOURCE_DIR) + "/tests/fixtures/toolsensors/" + relative;
}

inline std::string stub(const std::string& name) {
    return std::string(VELMAR_SOURCE_DIR) + "/tests/stubs/" + name;
}

inline bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// A platform root (hosttest::ProcRoot) into which tests install fake tools.
class ToolRoot : public hosttest::ProcRoot {
  protected:
    // Copies stub `name` to the production path `tool` below the root, with
    // `mode`. A copy rather than a link, so that its mode is its own.
    void installCopy(const std::string& name, const std::string& tool, mode_t mode) {
        const std::string target = root + tool;
        ASSERT_TRUE(shell("mkdir -p \"$(dirname '" + target + "')\" && cp '" + stub(name) + "' '" +
                          target + "'"));
        ASSERT_EQ(chmod(target.c_str(), mode), 0);
    }
    // Links stub `name` at the production path `tool` below the root.
    void installLink(const std::string& name, const std::string& tool) {
        const std::string target = root + tool;
        ASSERT_TRUE(shell("mkdir -p \"$(dirname '" + target + "')\""));
        ASSERT_EQ(symlink(stub(name).c_str(), target.c_str()), 0);
    }
    // The production path below the root.
    std::string at(const std::string& productionPath) const { return root + productionPath; }
};

}  // namespace tooltest
