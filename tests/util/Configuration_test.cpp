#include "Configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "Logger.h"

namespace {

using Cfg::Configuration;
using Cfg::ParamDef;
using Cfg::ParamDefStore;
using Cfg::ParamValStore;
using Cfg::ParamVec;

// Keeps every message with its severity, for asserting the exact text.
class CapturingLogger : public Logger {
public:
    mutable std::vector<std::string> lines;

    void logDebug(const char* fmt, ...) const override {
        va_list ap;
        va_start(ap, fmt);
        add("Debug", fmt, ap);
        va_end(ap);
    }
    void logInfo(const char* fmt, ...) const override {
        va_list ap;
        va_start(ap, fmt);
        add("Info", fmt, ap);
        va_end(ap);
    }
    void logWarning(const char* fmt, ...) const override {
        va_list ap;
        va_start(ap, fmt);
        add("Warning", fmt, ap);
        va_end(ap);
    }
    void logError(const char* fmt, ...) const override {
        va_list ap;
        va_start(ap, fmt);
        add("Error", fmt, ap);
        va_end(ap);
    }
    void logFatalAndStop(const char* fmt, ...) const override {
        va_list ap;
        va_start(ap, fmt);
        add("Fatal", fmt, ap);
        va_end(ap);
    }

private:
    void add(const char* severity, const char* fmt, va_list ap) const {
        char buf[1024];
        std::vsnprintf(buf, sizeof(buf), fmt, ap);
        lines.push_back(std::string(severity) + ": " + buf);
    }
};

struct Schema {
    ParamDefStore top, entry;
    const ParamDef entryDefs[2] = {
        {Cfg::strVec, 0, "name", "Name.", nullptr},
        {Cfg::intVec, 0, "period", "Period.", nullptr},
    };
    const ParamDef topDefs[6] = {
        {Cfg::strVec, 'C', "config", "Config file.", nullptr},
        {Cfg::flag, 'd', "daemonize", "Daemonize.", nullptr},
        {Cfg::intVec, 'p', "port", "Port.", nullptr},
        {Cfg::strVec, 'L', "logfile", "Log file.", nullptr},
        {Cfg::paramVec, 'S', "sensors", "Sensors.", &entry},
        {Cfg::intVec, 0, "ints", "Integers.", nullptr},
    };
    Schema() {
        entry.putDefArray(2, entryDefs);
        top.putDefArray(6, topDefs);
    }
};

const Schema& schema() {
    static const Schema s;
    return s;
}

ParamValStore defaults() {
    ParamValStore d;
    d.putStr("config", "/etc/default.cfg");
    d.putFlag("daemonize", false);
    d.putInt("port", 4739);
    ParamValStore e;
    e.putStr("name", "CPU");
    e.putInt("period", 1);
    d.putStore("sensors", e);
    return d;
}

// A temporary directory per test, removed afterwards.
class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmar_cfg_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        for (const std::string& f : files) unlink(f.c_str());
        rmdir(dir.c_str());
    }
    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        files.push_back(path);
        return path;
    }

    std::string dir;
    std::vector<std::string> files;
    CapturingLogger log;
    Configuration cfg{schema().top, defaults()};
};

TEST_F(ConfigurationTest, LoadReportsEachErrorKind) {
    const std::string missing = dir + "/missing.cfg";
    EXPECT_FALSE(cfg.loadConfigFile(missing, &log));
    EXPECT_TRUE(cfg.params == defaults());

    const std::string unknown = write("unknown.cfg", "port = 1\n\nbogus = 2\n");
    EXPECT_FALSE(cfg.loadConfigFile(unknown, &log));
    const std::string wrong = write("wrong.cfg", "port = \"x\"\n");
    EXPECT_FALSE(cfg.loadConfigFile(wrong, &log));
    const std::string syntax = write("syntax.cfg", "port = 1\nlogfile = \n");
    EXPECT_FALSE(cfg.loadConfigFile(syntax, &log));
    EXPECT_FALSE(cfg.loadConfigFile(syntax, nullptr));

    ASSERT_EQ(log.lines.size(), 4u);
    EXPECT_EQ(log.lines[0], "Error: Could not open configuration file " + missing + " for reading.");
    EXPECT_EQ(log.lines[1],
              "Error: Unknown identifier \"bogus\", line 3 in configuration file " + unknown);
    // The line is where reading stopped: past the newline that ended the value.
    EXPECT_EQ(log.lines[2],
              "Error: Wrong type for identifier \"port\", line 2 in configuration file " + wrong);
    EXPECT_EQ(log.lines[3], "Error: Syntax Error on or before line 3 in configuration file " + syntax);
}

TEST_F(ConfigurationTest, PathThatIsNoReadableFileFailsWithoutHangingOrThrowing) {
    const std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    files.push_back(fifo);
    const std::string locked = write("locked.cfg", "port = 1\n");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    const std::string cannotOpen = "Error: Could not open configuration file %s for reading.";
    const std::pair<std::string, std::string> rows[] = {
        {sub, cannotOpen},
        {fifo, cannotOpen},         // without a writer a blocking open waits for ever
        {"/dev/null", cannotOpen},  // a device
        {locked, cannotOpen},
        // A regular file whose first read fails: empty input.
        {"/proc/self/mem", "Error: Syntax Error on or before line 1 in configuration file %s"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.first);
        if (r.first == locked && geteuid() == 0) continue;  // root reads it anyway
        log.lines.clear();
        EXPECT_FALSE(cfg.loadConfigFile(r.first, &log));
        EXPECT_TRUE(cfg.params == defaults());
        std::string expected = r.second;
        expected.replace(expected.find("%s"), 2, r.first);
        EXPECT_EQ(log.lines, std::vector<std::string>{expected});
    }
    rmdir(sub.c_str());
}

TEST_F(ConfigurationTest, FileReplacesWholeValues) {
    const std::string f =
        write("ok.cfg", "logfile = \"/var/log/x\"\nsensors = { name = \"Load\" }\n");
    ASSERT_TRUE(cfg.loadConfigFile(f, &log));
    EXPECT_TRUE(log.lines.empty());
    std::string s;
    EXPECT_TRUE(cfg.params.getString("logfile", s));
    EXPECT_EQ(s, "/var/log/x");
    int32_t port = 0;
    EXPECT_TRUE(cfg.params.getInt("port", port));  // untouched default
    EXPECT_EQ(port, 4739);

    // The default sensor list is replaced, not merged.
    const ParamVec* sensors = nullptr;
    ASSERT_TRUE(cfg.params.getParamStoreVec("sensors", sensors));
    ASSERT_EQ(sensors->size(), 1u);
    int32_t period = 0;
    EXPECT_FALSE((*sensors)[0]->getInt("period", period));
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> v;
    for (std::string& a : args) v.push_back(&a[0]);
    v.push_back(nullptr);
    return v;
}

TEST_F(ConfigurationTest, ProgramPathSplit) {
    struct Row {
        const char* path;
        const char* dir;
        const char* prog;
    } rows[] = {
        {"/usr/local/bin/cvxsensors", "/usr/local/bin", "cvxsensors"},
        {"cvxsensors", ".", "cvxsensors"},
        {"/cvxsensors", "", "cvxsensors"},
        {"bin/", "bin", "."},
        {"", ".", "."},
    };
    for (const Row& r : rows) {
        std::vector<std::string> args = {r.path};
        std::vector<char*> argv = argvOf(args);
        ASSERT_TRUE(cfg.parseArgs(1, argv.data(), &log));
        EXPECT_EQ(cfg.getDirectoryName(), r.dir) << r.path;
        EXPECT_EQ(cfg.getProgramName(), r.prog) << r.path;
    }
}

TEST_F(ConfigurationTest, OptionsApplyInOrderAndCanBeParsedTwice) {
    std::vector<std::string> args = {"prog", "-p", "12abc", "extra", "-d", "-L/tmp/a.log",
                                     "-p", "77",   "-S",    "x"};
    std::vector<char*> argv = argvOf(args);
    const std::vector<char*> before = argv;
    for (int round = 0; round < 2; ++round) {
        Configuration c(schema().top, defaults());
        ASSERT_TRUE(c.parseArgs(static_cast<int>(args.size()), argv.data(), &log));
        int32_t port = 0;
        bool daemonize = false;
        std::string logfile;
        EXPECT_TRUE(c.params.getInt("port", port));
        EXPECT_EQ(port, 77);
        EXPECT_TRUE(c.params.getFlag("daemonize", daemonize));
        EXPECT_TRUE(daemonize);
        EXPECT_TRUE(c.params.getString("logfile", logfile));
        EXPECT_EQ(logfile, "/tmp/a.log");
    }
    EXPECT_EQ(argv, before);  // the caller's vector is not reordered
    EXPECT_TRUE(log.lines.empty());

    // No validation: leading digits count, text without them gives 0.
    for (auto [text, expect] : {std::pair<std::string, int32_t>{"12abc", 12}, {"abc", 0}}) {
        std::vector<std::string> one = {"prog", "-p", text};
        argv = argvOf(one);
        ASSERT_TRUE(cfg.parseArgs(3, argv.data(), &log));
        int32_t port = -1;
        EXPECT_TRUE(cfg.params.getInt("port", port));
        EXPECT_EQ(port, expect) << text;
    }
}

TEST_F(ConfigurationTest, UnknownOrIncompleteOptionFailsWithHelp) {
    struct Row {
        std::vector<std::string> args;
        const char* message;
    } rows[] = {
        {{"prog", "-d", "-z"}, "Error: Unknown option z."},
        {{"prog", "-L"}, "Error: Unknown option L."},  // value missing
        {{"prog", "-p"}, "Error: Unknown option p."},
    };
    for (Row& r : rows) {
        Configuration c(schema().top, defaults());
        log.lines.clear();
        std::vector<char*> argv = argvOf(r.args);
        std::ostringstream captured;
        std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
        bool ok = c.parseArgs(static_cast<int>(r.args.size()), argv.data(), &log);
        std::cout.rdbuf(old);
        EXPECT_FALSE(ok);
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0], r.message);
        EXPECT_EQ(captured.str(),
                  "Options: \n\t-C: Config file.\n\t-L: Log file.\n\t-S: Sensors.\n"
                  "\t-d: Daemonize.\n\t-p: Port.\n");
    }
    // Options before the bad one are applied; without a logger nothing is written.
    std::vector<std::string> args = {"prog", "-d", "-z"};
    std::vector<char*> argv = argvOf(args);
    std::ostringstream captured;
    std::streambuf* old = std::cout.rdbuf(captured.rdbuf());
    EXPECT_FALSE(cfg.parseArgs(3, argv.data(), nullptr));
    std::cout.rdbuf(old);
    EXPECT_EQ(captured.str(), "");
    bool d = false;
    EXPECT_TRUE(cfg.params.getFlag("daemonize", d));
    EXPECT_TRUE(d);
}

TEST_F(ConfigurationTest, OptionValueTheFileCannotHoldIsRefusedWithItsCause) {
    const std::pair<const char*, const char*> rows[] = {
        {"say \"hi\"", "Error: Value for parameter logfile holds a double quote."},
        {"caf\xc3\xa9", "Error: Value for parameter logfile holds the non-ASCII byte 0xC3."},
        {"a\x7fz", "Error: Value for parameter logfile holds the control character 0x7F."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.first);
        log.lines.clear();
        std::vector<std::string> args = {"prog", "-L", r.first};
        std::vector<char*> argv = argvOf(args);
        EXPECT_FALSE(cfg.parseArgs(3, argv.data(), &log));
        EXPECT_EQ(log.lines, std::vector<std::string>{r.second});
        std::string s;
        EXPECT_FALSE(cfg.params.getString("logfile", s));
    }
}

TEST_F(ConfigurationTest, OptionValueWithTabsAndLineEndsIsKeptAndSurvivesTheFile) {
    std::vector<std::string> args = {"prog", "-L", "a\tb\r\nc"};
    std::vector<char*> argv = argvOf(args);
    ASSERT_TRUE(cfg.parseArgs(3, argv.data(), &log));
    EXPECT_TRUE(log.lines.empty());
    std::string s;
    ASSERT_TRUE(cfg.params.getString("logfile", s));
    EXPECT_EQ(s, "a\tb\r\nc");
    std::ostringstream text;
    cfg.dumpCfg(text);
    Configuration reread(schema().top, ParamValStore());
    ASSERT_TRUE(reread.loadConfigFile(write("dump.cfg", text.str()), &log));
    EXPECT_TRUE(reread.params == cfg.params);
}

TEST(Configuration, GetKnownParam) {
    struct Row {
        std::vector<std::string> args;
        const char* expect;
    } rows[] = {
        {{"prog", "-C", "/a.cfg"}, "/a.cfg"},
        {{"prog", "-d", "-C", "/a.cfg", "-C", "/b.cfg"}, "/a.cfg"},  // the first match
        {{"prog", "-C/a.cfg"}, "/a.cfg"},                           // value attached
        {{"prog", "-d", "-C"}, "default"},                          // last, no value
        {{"prog", "/x", "-c", "/y"}, "default"},
        {{"-C", "/prog-is-not-scanned"}, "default"},
    };
    for (Row& r : rows) {
        std::vector<char*> argv = argvOf(r.args);
        EXPECT_EQ(Configuration::getKnownParam(static_cast<int>(r.args.size()), argv.data(), "-C",
                                               "default"),
                  r.expect);
    }
}

TEST_F(ConfigurationTest, PutValueFromText) {
    ParamValStore& p = cfg.params;
    const ParamDefStore& s = schema().top;
    bool f = false;
    EXPECT_TRUE(Configuration::putValue("daemonize", "yes", p, s));
    EXPECT_TRUE(p.getFlag("daemonize", f) && f);
    EXPECT_TRUE(Configuration::putValue("daemonize", "No", p, s));
    EXPECT_TRUE(p.getFlag("daemonize", f) && !f);
    EXPECT_FALSE(Configuration::putValue("daemonize", "off", p, s));
    EXPECT_FALSE(Configuration::putValue("daemonize", "", p, s));

    int32_t i = 0;
    EXPECT_TRUE(Configuration::putValue("port", " 7", p, s));
    EXPECT_TRUE(p.getInt("port", i));
    EXPECT_EQ(i, 7);
    EXPECT_TRUE(Configuration::putValue("port", "-12x", p, s));
    EXPECT_TRUE(p.getInt("port", i));
    EXPECT_EQ(i, -12);
    for (const char* bad : {"x", "", "2147483648", "- 1"}) {
        EXPECT_FALSE(Configuration::putValue("port", bad, p, s)) << bad;
    }
    EXPECT_TRUE(p.getInt("port", i));
    EXPECT_EQ(i, -12);

    EXPECT_FALSE(Configuration::putValue("sensors", "x", p, s));
    EXPECT_FALSE(Configuration::putValue("nosuch", "x", p, s));
    EXPECT_TRUE(Configuration::putValue("logfile", "", p, s));
    EXPECT_FALSE(Configuration::putValue("logfile", "say \"hi\"", p, s, &log));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "Error: Value for parameter logfile holds a double quote.");
}

TEST_F(ConfigurationTest, PutValueVecFromTexts) {
    ParamValStore& p = cfg.params;
    const ParamDefStore& s = schema().top;
    ASSERT_TRUE(Configuration::putValueVec("ints", {"1", " -2"}, p, s));
    EXPECT_FALSE(Configuration::putValueVec("ints", {"1", "x"}, p, s));
    const Cfg::IntVec* iv = nullptr;
    ASSERT_TRUE(p.getIntVec("ints", iv));
    EXPECT_EQ(*iv, (Cfg::IntVec{1, -2}));
    EXPECT_TRUE(Configuration::putValueVec("ints", {}, p, s));
    EXPECT_FALSE(p.getIntVec("ints", iv));

    EXPECT_TRUE(Configuration::putValueVec("logfile", {"a", "b"}, p, s));
    EXPECT_FALSE(Configuration::putValueVec("logfile", {"a\tb", "\xff"}, p, s, &log));
    const Cfg::StrVec* sv = nullptr;
    ASSERT_TRUE(p.getStrVec("logfile", sv));
    EXPECT_EQ(*sv, (Cfg::StrVec{"a", "b"}));
    EXPECT_EQ(log.lines, std::vector<std::string>{
                             "Error: Value for parameter logfile holds the non-ASCII byte 0xFF."});
    EXPECT_FALSE(Configuration::putValueVec("daemonize", {"T"}, p, s));
    EXPECT_FALSE(Configuration::putValueVec("sensors", {"x"}, p, s));
    EXPECT_FALSE(Configuration::putValueVec("nosuch", {"x"}, p, s));
}

TEST_F(ConfigurationTest, StoreListForUpdate) {
    ParamVec sentinel;
    ParamVec* stores = &sentinel;
    const ParamDefStore* nested = nullptr;
    EXPECT_FALSE(cfg.getParamStoreVecForUpdate("port", stores, nested));
    EXPECT_FALSE(cfg.getParamStoreVecForUpdate("nosuch", stores, nested));
    EXPECT_EQ(stores, &sentinel);
    EXPECT_EQ(nested, nullptr);

    ASSERT_TRUE(cfg.getParamStoreVecForUpdate("sensors", stores, nested));
    EXPECT_EQ(nested, &schema().entry);
    ASSERT_EQ(stores->size(), 1u);
    ASSERT_TRUE(Configuration::putValue("period", "5", *(*stores)[0], *nested));

    std::ostringstream out;
    cfg.dumpCfg(out);
    EXPECT_EQ(out.str(),
              "config = \"/etc/default.cfg\"\ndaemonize = F\nport = 4739\n"
              "sensors = {\n\tname = \"CPU\"\n\tperiod = 5\n}\n");
}

}  // namespace
