// statkeepcfg run as a program: arguments in; standard output, the message
// lines of standard error and the exit status out.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ParamNames.h"
#include "StubHarness.h"
#include "cfgUtil.h"

namespace {

typedef std::vector<std::string> Strings;

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

const char BASE[] =
    "colCandidates = \"c1\", \"c2:9085\"\n"
    "sensors = { name = \"CPU\" period = 1 }, { name = \"Memory\" period = 2 },\n"
    "  { name = \"X\" period = 3 filter = \"f\" }\n";

struct Outcome {
    int exitStatus;
    std::string out;
    Strings messages;   // the text of each Error line
    size_t usageLines;  // every other line of standard error
};

class StatkeepcfgRun : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(StubHarness::makeDirs(root + "/opt/Ostrel/velmar/defaults"));
        writeFile(root + "/opt/Ostrel/velmar/defaults/VelmarSensors.cfg", BASE);
        writeFile(base, BASE);
        writeFile(nocand, "sensors = { name = \"CPU\" period = 1 }\n");
        writeFile(add, "sensors = { name = \"Load\" period = 7 }, { name = \"CPU\" period = 9 }\n");
        writeFile(badAdd, "loglevel = \"debug\"\n");
        env.set("VELMAR_PLATFORM_ROOT", root.c_str());
    }
    Outcome run(Strings args, const std::string& stdoutPath = "") {
        args.insert(args.begin(), STATKEEPCFG);
        const StubHarness::ToolRun r = StubHarness::runTool(root, args, stdoutPath);
        Outcome o{r.exitStatus, r.out, {}, 0};
        std::istringstream in(r.err);
        for (std::string l; std::getline(in, l);) {
            const std::string::size_type at = l.find(" [Error  ]: ");
            if (at == std::string::npos) {
                ++o.usageLines;
            } else {
                o.messages.push_back(l.substr(at + 12));
            }
        }
        return o;
    }
    // "name.attribute" of a sensor, or a top-level list joined by ",", as the
    // printed configuration holds it; "-" when absent.
    std::string printed(const std::string& out, const std::string& what) {
        writeFile(root + "/printed.cfg", out);
        Cfg::Configuration* c = loadConfig(root + "/printed.cfg", nullptr);
        if (c == nullptr) return "unreadable";
        std::string result = "-";
        const std::string::size_type dot = what.find('.');
        const Cfg::ParamVec* sensors = nullptr;
        const Cfg::StrVec* list = nullptr;
        if (dot == std::string::npos) {
            if (c->params.getStrVec(what, list)) {
                result.clear();
                for (const std::string& s : *list) result += (result.empty() ? "" : ",") + s;
            }
        } else if (c->params.getParamStoreVec(Cfg::SENSORS, sensors)) {
            for (const Cfg::ParamValStore* s : *sensors) {
                std::string name, text;
                int32_t number;
                s->getString(Cfg::SENSNAME, name);
                if (name != what.substr(0, dot)) continue;
                const std::string attr = what.substr(dot + 1);
                result = s->getString(attr, text)  ? text
                         : s->getInt(attr, number) ? std::to_string(number)
                                                   : "?";
            }
        }
        delete c;
        return result;
    }

    StubHarness::TempDir tmp;
    StubHarness::ScopedEnv env;
    const std::string root = tmp.path();
    const std::string base = root + "/base.cfg", nocand = root + "/nocand.cfg",
                      add = root + "/add.cfg", badAdd = root + "/badadd.cfg",
                      missing = root + "/missing.cfg";
};

TEST_F(StatkeepcfgRun, FailuresPrintNothing) {
    const std::string NOT_A_PORT =
        "has a port that is neither a number from 1 to 65535 nor a service name!";
    const std::string unknownLoglevel =
        "Unknown identifier \"loglevel\", line 1 in configuration file " + root + "/badadd.cfg";
    const struct {
        Strings args;
        Strings messages;  // empty: the usage text alone
    } rows[] = {
        {{"-x"}, {}},
        {{"-f", base, "-x", "-h"}, {}},  // -h after a bad option is never reached
        {{"-f"}, {}},                    // option without its argument
        {{"-s", "-s"}, {}},
        {{"-t", "--show-collectors"}, {}},
        {{"-s", "-d", "CPU"}, {}},
        {{"-f", missing},
         {"Could not open configuration file " + missing + " for reading.",
          "Could not read configuration file " + missing}},
        {{"-f", nocand}, {"Missing collector candidates."}},
        {{"-f", nocand, "-c", " , ,"}, {"Missing collector candidates."}},
        // A byte above 0x7E is in no host name (nor could it be written back).
        {{"-f", base, "-c",
          "a\xC3"
          "b"},
         {"Collector candidate 'a\xC3"
          "b' has a host that is not a host name or address!",
          "Could not store collector candidates a\xC3"
          "b"}},
        // Candidates statkeepctl would refuse on every node.
        {{"-f", base, "-c", "a,:"},
         {"Collector candidate ':' has no host!", "Could not store collector candidates a,:"}},
        {{"-f", base, "-c", "a:99999"},
         {"Collector candidate 'a:99999' " + NOT_A_PORT,
          "Could not store collector candidates a:99999"}},
        // The resolver would read a signed port as a number modulo 65536.
        {{"-f", base, "-c", "a,b:+103961"},
         {"Collector candidate 'b:+103961' " + NOT_A_PORT,
          "Could not store collector candidates a,b:+103961"}},
        {{"-f", base, "-c", "b:-4739"},
         {"Collector candidate 'b:-4739' " + NOT_A_PORT,
          "Could not store collector candidates b:-4739"}},
        {{"-f", base, "-c", "a;b"},
         {"Collector candidate 'a;b' has a host that is not a host name or address!",
          "Could not store collector candidates a;b"}},
        {{"-f", base, "CPU.period"}, {"Illegal assignment: CPU.period"}},
        {{"-f", base, "X.filter=a=b=c"}, {"Illegal assignment: X.filter=a=b=c"}},
        {{"-f", base, "a.b.c=1"}, {"Illegal key argument: a.b.c. Expect 'name.attribute'"}},
        {{"-f", base, "Nope.period=1"}, {"Unknown sensor: Nope"}},
        {{"-f", base, "CPU.nope=1"}, {"Unknown attribute nope for sensor CPU."}},
        {{"-f", base, "CPU.period=abc"}, {"Unknown attribute period for sensor CPU."}},
        {{"-f", base, "X.filter=q\"uote"},
         {"Value for parameter filter holds a double quote.",
          "Unknown attribute filter for sensor X."}},
        // Edits run add, delete, collectors, assignments whatever the order.
        {{"CPU.period=3", "-f", base, "-d", "CPU"}, {"Unknown sensor: CPU"}},
        {{"-f", base, "-d", "CPU, Memory,X"},
         {"Cannot delete sensor X: the sensor list would be empty"}},
        {{"-f", base, "-a", badAdd, "Load.period=1"}, {unknownLoglevel, "Unknown sensor: Load"}},
    };
    for (const auto& r : rows) {
        const Outcome o = run(r.args);
        const std::string row = testing::PrintToString(r.args);
        EXPECT_EQ(o.exitStatus, 255) << row;
        EXPECT_EQ(o.out, "") << row;
        EXPECT_EQ(o.messages, r.messages) << row;
        EXPECT_EQ(o.usageLines, r.messages.empty() ? 20u : 0u) << row;
    }
}

TEST_F(StatkeepcfgRun, EditsAndShows) {
    const struct {
        Strings args;
        Strings probes;        // what=value in the printed configuration
        const char* exactOut;  // or the whole expected output
        Strings messages;
    } rows[] = {
        {{"-f", base, "CPU.period==5", "X.filter=a=b", "Memory period= 8 "},
         {"CPU.period=5", "X.filter=a=b", "Memory.period=8"},
         nullptr,
         {}},
        {{"--cfg-file", base, "--delete-sensors", "CPU, Memory"},
         {"CPU.name=-", "Memory.name=-", "X.period=3"},
         nullptr,
         {}},
        {{"-d", "Nope", "-f", base},
         {"CPU.period=1"},
         nullptr,
         {"Cannot delete sensor Nope: no such sensor"}},
        {{"-f", base, "-a", add, "Load.filter=x"},
         {"Load.period=7", "Load.filter=x", "CPU.period=1"},
         nullptr,
         {"Cannot add sensor CPU: sensor exists"}},
        {{"-f", nocand, "-c", "a, b"}, {"colCandidates=a,b"}, nullptr, {}},
        {{"-f", missing, "-f", base, "-c", "z", "-c", "y"},
         {"colCandidates=y"},
         nullptr,
         {}},                               // last wins
        {{}, {"X.filter=f"}, nullptr, {}},  // the defaults file under the platform root
        {{"-f", base, "-s", "CPU.period=5"}, {}, ":4739\n", {}},
        {{"-f", base, "--show-collector-candidates"}, {}, "c1\nc2:9085\n", {}},
        {{"-f", nocand, "-t"}, {}, "\n", {}},  // the built-in empty candidate
        {{"-f", nocand, "-t", "-h"}, {}, "", {}},
    };
    for (const auto& r : rows) {
        const Outcome o = run(r.args);
        const std::string row = testing::PrintToString(r.args);
        EXPECT_EQ(o.exitStatus, 0) << row;
        EXPECT_EQ(o.messages, r.messages) << row;
        if (r.exactOut != nullptr) {
            EXPECT_EQ(o.out, r.exactOut) << row;
        }
        for (const std::string& p : r.probes) {
            const std::string::size_type eq = p.find('=');
            EXPECT_EQ(printed(o.out, p.substr(0, eq)), p.substr(eq + 1)) << row << " " << p;
        }
    }
    const Outcome help = run({"-f", base, "-h"});
    EXPECT_EQ(help.usageLines, 20u);
}

TEST_F(StatkeepcfgRun, UsageText) {
    const StubHarness::ToolRun r = StubHarness::runTool(root, {STATKEEPCFG, "-h"});
    const std::string p = STATKEEPCFG;
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err,
              "usage: " + p + " -h\n  Print this help message.\n\nusage: " + p +
                  " --cfg-file statkeep.cfg [Show-Options]\nShow-Options: \n"
                  "  --show-collectors             Show the collectors this node is reporting to.\n"
                  "                                (requires node config file)\n"
                  "  --show-collector-candidates   Show the collectors configured in the DRIX\n"
                  "                                cluster (requires DRIX config file)\n\nusage: " +
                  p +
                  " --cfg-file statkeep.cfg [Options] [attr1=value1 attr2=value2 ...]\n"
                  "  Update a configuration file.\n\nOptions:\n"
                  "  --cfg-file CFG           The configuration file to be modified.\n"
                  "  --collectors C1,...      Send monitoring data to collectors C1,....\n"
                  "  --add-sensors FILE       Add sensors from file FILE.\n"
                  "  --delete-sensors S1,...  Delete sensors with names S1, ....\n"
                  "  attr=value               Updates an attribute to value\n"
                  "                           (e.g., CPU.period=5).\n");
}

TEST_F(StatkeepcfgRun, PrintedConfigurationReadsBackToTheSameBytes) {
    const Outcome first =
        run({"-f", base, "-a", add, "-d", "Memory", "-c", "n1, n2:1", "X.filter=a b"});
    ASSERT_EQ(first.exitStatus, 0);
    EXPECT_EQ(
        first.out.compare(0, 60, "# This file has been generated automatically and SHOULD NOT\n"),
        0);
    writeFile(root + "/again.cfg", first.out);
    EXPECT_EQ(run({"-f", root + "/again.cfg"}).out, first.out);
}

TEST_F(StatkeepcfgRun, AnOutputThatCannotBeWrittenFails) {
    for (const Strings& args : {Strings{"-f", base}, Strings{"-f", base, "-t"}}) {
        const Outcome o = run(args, "/dev/full");
        EXPECT_EQ(o.exitStatus, 255);
        EXPECT_EQ(o.messages, Strings{"Could not write to standard output."});
    }
}

}  // namespace
