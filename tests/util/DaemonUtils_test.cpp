#include "DaemonUtils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "LoggerBackend.h"
#include "LoggerStub.h"
#include "PlatformPaths.h"

using namespace LogNameSpace;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

struct ChildResult {
    int status = -1;
    std::string err;  // the child's standard error
};

// Runs `body` in a forked child whose standard error goes into a pipe; the
// child exits with the body's result.
ChildResult runInChild(const std::function<int()>& body) {
    int fds[2];
    ChildResult r;
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        _exit(body());
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) r.err.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    waitpid(pid, &r.status, 0);
    return r;
}

struct CollectingLogger : Logger {
    mutable std::vector<std::string> lines;
    // Unlike the real loggers it keeps whole messages, so that the test sees
    // all of a command's output.
    void add(const char* sev, const char* fmt, va_list ap) const {
        va_list copy;
        va_copy(copy, ap);
        int n = vsnprintf(nullptr, 0, fmt, copy);
        va_end(copy);
        std::string buf(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(&buf[0], buf.size(), fmt, ap);
        buf.resize(static_cast<size_t>(n));
        lines.push_back(std::string(sev) + ": " + buf);
    }
#define COLLECT(sev)   \
    va_list ap;        \
    va_start(ap, fmt); \
    add(sev, fmt, ap); \
    va_end(ap)
    void logDebug(const char* fmt, ...) const override { COLLECT("Debug"); }
    void logInfo(const char* fmt, ...) const override { COLLECT("Info"); }
    void logWarning(const char* fmt, ...) const override { COLLECT("Warning"); }
    void logError(const char* fmt, ...) const override { COLLECT("Error"); }
    void logFatalAndStop(const char* fmt, ...) const override { COLLECT("Fatal"); }
#undef COLLECT
};

class DaemonUtilsTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = testing::TempDir() + "velmar-daemon-XXXXXX";
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        LoggerBackend::destroy();
        Platform::setRoot("");
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    // Log lines written by the backend into dir/log, without their time stamps.
    std::vector<std::string> logLines() {
        LoggerBackend::destroy();
        std::vector<std::string> lines;
        std::ifstream in(dir + "/log");
        for (std::string l; std::getline(in, l);) lines.push_back(l.size() > 17 ? l.substr(17) : l);
        return lines;
    }
    std::string dir;
};

TEST_F(DaemonUtilsTest, PidFileIsWrittenLockedAndRefusedToASecondInstance) {
    std::string pidFile = dir + "/prog.pid";
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    // The first instance is another process (the lock excludes processes),
    // started before this process has a logging thread.
    pid_t first = fork();
    if (first == 0) {
        close(toChild[1]);
        close(fromChild[0]);
        LoggerStub none("first");
        char ok = createPidFile("prog", pidFile.c_str(), &none) ? 'y' : 'n';
        if (write(fromChild[1], &ok, 1) != 1) _exit(2);
        char c;
        (void)read(toChild[0], &c, 1);  // hold the lock until the parent is done
        _exit(0);
    }
    close(toChild[0]);
    close(fromChild[1]);
    char ok = 0;
    ASSERT_EQ(read(fromChild[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_EQ(readFile(pidFile), std::to_string(first) + "\n");
    struct stat st;
    ASSERT_EQ(stat(pidFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, (dir + "/log").c_str(), true));
    LoggerStub main("Main");
    bool locked = false;
    EXPECT_FALSE(createPidFile("prog", pidFile.c_str(), &main, &locked));
    EXPECT_TRUE(locked);
    EXPECT_EQ(readFile(pidFile), std::to_string(first) + "\n");

    // The first instance ends; its stale file is reused.
    close(toChild[1]);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(createPidFile("prog", pidFile.c_str(), &main, &locked));
    EXPECT_FALSE(locked);
    EXPECT_EQ(readFile(pidFile), std::to_string(getpid()) + "\n");
    // The descriptor is not inherited by programs this process starts.
    EXPECT_EQ(std::system(("ls -l /proc/self/fd | grep -q '" + pidFile + "'").c_str()) >> 8, 1);

    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "[Error  ] Main: PID file '" + pidFile +
                                  "' is locked; probably 'prog' is already running",
                              "[Info   ] Main: Created PIDFile " + pidFile + ".",
                          }));
    close(fromChild[0]);
}

TEST_F(DaemonUtilsTest, PidFileInAMissingDirectoryFails) {
    std::string pidFile = dir + "/missing/prog.pid";
    ASSERT_TRUE(LoggerBackend::createAndInitLogger(esDebug, (dir + "/log").c_str(), true));
    LoggerStub main("Main");
    bool locked = true;
    EXPECT_FALSE(createPidFile("prog", pidFile.c_str(), &main, &locked));
    EXPECT_FALSE(locked);  // unusable, not held by another instance
    EXPECT_FALSE(createPidFile("prog", pidFile.c_str(), nullptr));
    EXPECT_EQ(logLines(), std::vector<std::string>{"[Error  ] Main: Could not open PID file " +
                                                   pidFile + ": No such file or directory (2)"});
}

// A PID file that cannot receive the whole id is a failure, not a success.
TEST_F(DaemonUtilsTest, ShortPidFileWriteFails) {
    std::string pidFile = dir + "/prog.pid";
    ChildResult r = runInChild([&] {
        if (!LoggerBackend::createAndInitLogger(esDebug, "stderr", true)) return 3;
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {2, 2};  // room for two bytes of the id only
        setrlimit(RLIMIT_FSIZE, &lim);
        LoggerStub main("Main");
        bool ok = createPidFile("prog", pidFile.c_str(), &main);
        LoggerBackend::destroy();
        return ok ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 1) << r.err;
    EXPECT_NE(r.err.find("[Error  ] Main: Fatal error writing to PID file '" + pidFile +
                         "': File too large (27)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("Created PIDFile"), std::string::npos) << r.err;
}

TEST_F(DaemonUtilsTest, InitialLogLine) {
    ChildResult r = runInChild([] {
        setenv("TZ", "UTC", 1);
        tzset();
        initialLog(stderr, "Starting %s rev %d", "prog", 7);
        initialLog(stderr, "%s", std::string(1500, 'x').c_str());
        return 0;
    });
    std::istringstream in(r.err);
    std::string l1, l2;
    std::getline(in, l1);
    std::getline(in, l2);
    ASSERT_GT(l1.size(), 17u);
    EXPECT_EQ(l1.substr(15), "  [Info   ] Main: Starting prog rev 7");
    EXPECT_EQ(l1[3], '-');
    EXPECT_EQ(l2.substr(15), "  [Info   ] Main: " + std::string(1023, 'x'));
}

TEST_F(DaemonUtilsTest, DaemonizeDetachesIntoANewSession) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        umask(077);
        if (!daemonize(stderr)) _exit(1);
        // Now in the grandchild; its parent already exited 0.
        struct stat in, null;
        bool detached = getsid(0) == getpid() && fstat(STDIN_FILENO, &in) == 0 &&
                        stat("/dev/null", &null) == 0 && in.st_rdev == null.st_rdev;
        mode_t mask = umask(0);
        // With init as its parent, a second call changes nothing.
        pid_t before = getpid();
        bool again = true;
        if (getppid() == 1) again = daemonize(stderr) && getpid() == before;
        char report[3] = {detached ? 'y' : 'n', mask == 022 ? 'y' : 'n', again ? 'y' : 'n'};
        (void)write(fds[1], report, sizeof(report));
        _exit(0);
    }
    close(fds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char report[3] = {0, 0, 0};
    ASSERT_EQ(read(fds[0], report, sizeof(report)), 3);
    close(fds[0]);
    EXPECT_EQ(report[0], 'y') << "no new session or standard input not /dev/null";
    EXPECT_EQ(report[1], 'y') << "umask not 022";
    EXPECT_EQ(report[2], 'y') << "second daemonize under init forked";
}

TEST_F(DaemonUtilsTest, RunCmdResults) {
    CollectingLogger log;
    EXPECT_EQ(runCmd("printf 'a\\nb'; exit 3", &log), 3);
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"Info: Running external command: printf 'a\\nb'; exit 3",
                                        "Info: Received rc=3, output=a\nb"}));
    log.lines.clear();
    // Larger than one read piece.
    EXPECT_EQ(runCmd("head -c 20000 /dev/zero | tr '\\0' y", &log), 0);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_TRUE(log.lines[1] == "Info: Received rc=0, output=" + std::string(20000, 'y'))
        << log.lines[1].size() << " characters";
    // A command ended by a signal is not a success.
    EXPECT_EQ(runCmd("kill -KILL $$", &log), 128 + SIGKILL);
    EXPECT_EQ(runCmd("true", nullptr), 0);
}

class ServiceTest : public DaemonUtilsTest {
  protected:
    void SetUp() override {
        DaemonUtilsTest::SetUp();
        for (const char* d :
             {"/etc", "/etc/init.d", "/sbin", "/bin", "/usr", "/usr/sbin", "/usr/bin"})
            mkdir((dir + d).c_str(), 0755);
        Platform::setRoot(dir);
    }
    // A fake tool that records its path and arguments and exits with `rc`.
    void fake(const std::string& productionPath, int rc = 0, mode_t mode = 0755) {
        writeFile(
            dir + productionPath,
            "#!/bin/sh\necho \"$0 $*\" >> '" + dir + "/calls'\nexit " + std::to_string(rc) + "\n",
            mode);
    }
    std::string calls() { return readFile(dir + "/calls"); }
};

TEST_F(ServiceTest, InitScriptIsPreferredOverSystemctl) {
    fake("/etc/init.d/velmard", 0);
    fake("/usr/bin/systemctl");
    EXPECT_EQ(service("velmard", "restart"), 0);
    EXPECT_EQ(calls(), dir + "/etc/init.d/velmard restart\n");
}

TEST_F(ServiceTest, SystemctlGetsTheActionFirstAndTheUnitName) {
    fake("/etc/init.d/velmard", 0, 0644);  // not executable: ignored
    fake("/usr/bin/systemctl", 3);
    fake("/sbin/service");
    EXPECT_EQ(service("velmard", "stop"), 3 << 8);
    EXPECT_EQ(calls(), dir + "/usr/bin/systemctl stop velmard.service\n");
}

TEST_F(ServiceTest, SystemctlDirectoriesAreSearchedInOrder) {
    fake("/usr/sbin/systemctl");
    fake("/bin/systemctl");
    EXPECT_EQ(service("velmard", "stop"), 0);
    EXPECT_EQ(calls(), dir + "/bin/systemctl stop velmard.service\n");
}

TEST_F(ServiceTest, ServiceToolIsTheLastResort) {
    fake("/usr/bin/service");
    EXPECT_EQ(service("velmard", "restart"), 0);
    EXPECT_EQ(calls(), dir + "/usr/bin/service velmard restart\n");
}

TEST_F(ServiceTest, NothingToRunGivesMinusOne) {
    EXPECT_EQ(service("velmard", "stop"), -1);
    fake("/usr/bin/service");
    // Name and action are put into a shell command line: only plain words.
    EXPECT_EQ(service("velmard; touch x", "stop"), -1);
    EXPECT_EQ(service("velmard", "stop $(id)"), -1);
    EXPECT_EQ(service("", "stop"), -1);
    // Would run /etc/init.d/.. or hand the tool a path.
    for (const char* dots : {".", ".."}) {
        EXPECT_EQ(service(dots, "stop"), -1) << dots;
        EXPECT_EQ(service("velmard", dots), -1) << dots;
    }
    EXPECT_EQ(calls(), "");
}

TEST_F(DaemonUtilsTest, CreateDirIfNeededAndFileExists) {
    std::string sub = dir + "/sub";
    EXPECT_FALSE(fileExists(sub));
    EXPECT_TRUE(createDirIfNeeded(sub.c_str()));
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0027, 0u);  // created 0750, less the umask
    EXPECT_TRUE(fileExists(sub));
    EXPECT_TRUE(createDirIfNeeded(sub.c_str()));

    std::string file = dir + "/plain";
    writeFile(file, "keep", 0644);
    EXPECT_FALSE(createDirIfNeeded(file.c_str()));
    EXPECT_EQ(readFile(file), "keep");

    std::string closed = dir + "/closed";
    ASSERT_EQ(mkdir(closed.c_str(), 0500), 0);
    EXPECT_FALSE(createDirIfNeeded(closed.c_str()));
    EXPECT_FALSE(createDirIfNeeded((dir + "/a/b").c_str()));  // one level only
}

}  // namespace
