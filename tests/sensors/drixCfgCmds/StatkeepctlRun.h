// The fixture of statkeepctl's end-to-end tests: the tool run as a program
// under a platform root that holds the daemon's configuration directory, the
// lock directory and a fake init script (tests/stubs/fake_initd.sh) which
// logs every call.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "StubHarness.h"
#include "cfgUtil.h"

namespace StatkeepctlE2e {

typedef std::vector<std::string> Strings;

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

inline Strings lines(const std::string& text) {
    Strings out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Every entry of a directory, hidden ones included, sorted.
inline Strings entries(const std::string& dir) {
    Strings out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return {"unreadable"};
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") out.push_back(name);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// The tool's temporary file of a killed run, and its mark of a restart owed.
const char TMP_FILE[] = ".VelmarSensors.cfg.statkeepctl-Ab3xZ9";
const char RESTART_MARK[] = ".VelmarSensors.cfg.statkeepctl-restart";

const char CLUSTER[] = "colCandidates = \"c1\", \"c2:9085\", \"c3\"\n";

struct Outcome {
    int exitStatus;
    Strings messages;  // the text of each Error line
    Strings usage;     // every other line of standard error
};

class StatkeepctlRun : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* d : {"/opt/Ostrel/velmar", "/tmp", "/etc/init.d"}) {
            ASSERT_TRUE(StubHarness::makeDirs(root + d));
        }
        ASSERT_EQ(symlink(VELMAR_SOURCE_DIR "/tests/stubs/fake_initd.sh", script.c_str()), 0);
        env.set("VELMAR_PLATFORM_ROOT", root.c_str());
    }
    std::string cluster(const std::string& text, const std::string& name = "/cluster.cfg") {
        writeFile(root + name, text);
        return root + name;
    }
    Strings argv(const Strings& args) const {
        Strings a{STATKEEPCTL};
        a.insert(a.end(), args.begin(), args.end());
        return a;
    }
    Outcome run(const Strings& args, Strings prefix = {}) {
        const Strings tool = argv(args);
        prefix.insert(prefix.end(), tool.begin(), tool.end());
        const StubHarness::ToolRun r = StubHarness::runTool(root, prefix);
        Outcome out{r.exitStatus, {}, {}};
        for (const std::string& l : lines(r.err)) {
            const std::string::size_type at = l.find(" [Error  ]: ");
            if (at == std::string::npos) {
                out.usage.push_back(l);
            } else {
                out.messages.push_back(l.substr(at + 12));
            }
        }
        return out;
    }
    // The init script's calls, each "action start end descriptors...".
    Strings calls() const { return lines(readFile(script + ".log")); }
    Strings actions() const {
        Strings out;
        for (const std::string& c : calls()) out.push_back(c.substr(0, c.find(' ')));
        return out;
    }
    // One "a:b" per entry of a list of the written file (strings or integers).
    Strings written(const char* list, const char* a, const char* b) const {
        Cfg::Configuration* c = loadConfig(cfgFile, nullptr);
        const Cfg::ParamVec* stores = nullptr;
        if (c == nullptr || !c->params.getParamStoreVec(list, stores)) return {"unreadable"};
        Strings out;
        auto text = [](const Cfg::ParamValStore* s, const char* key) {
            std::string v;
            int32_t i;
            return s->getString(key, v) ? v : s->getInt(key, i) ? std::to_string(i) : "-";
        };
        for (const Cfg::ParamValStore* s : *stores) out.push_back(text(s, a) + ":" + text(s, b));
        delete c;
        return out;
    }

    // The prefix that runs the tool as nobody, with the platform root made
    // fit for that user: searchable, a sticky lock directory like /tmp, the
    // init script's log writable.
    Strings asNobody() {
        EXPECT_EQ(chmod(root.c_str(), 0711), 0);
        EXPECT_EQ(chmod((root + "/tmp").c_str(), 01777), 0);
        EXPECT_EQ(chown((root + "/etc/init.d").c_str(), NOBODY, NOBODY), 0);
        return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    }

    static const uid_t NOBODY = 65534;
    StubHarness::TempDir tmp;
    StubHarness::ScopedEnv env;
    const std::string root = tmp.path();
    const std::string script = root + "/etc/init.d/cvxsensors";
    const std::string cfgFile = root + "/opt/Ostrel/velmar/VelmarSensors.cfg";
    const std::string lockFile = root + "/tmp/VelmarSensors.lck";
};

}  // namespace StatkeepctlE2e
