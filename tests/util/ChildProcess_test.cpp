#include "ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "LineReader.h"
#include "stubs/StubHarness.h"

namespace {

using StubHarness::ScopedEnv;
using StubHarness::TempDir;

const std::string argvdump = ARGVDUMP;

// Collects everything the child writes until its output ends.
std::string drain(ChildProcess& c) {
    std::string out;
    char buf[1024];
    std::size_t got;
    while (c.read(buf, sizeof buf, got, 10000) == FdIo::IoResult::Ok) out.append(buf, got);
    return out;
}

int exitCode(ChildProcess& c) { return StubHarness::exitCodeOf(c.wait(10000)); }

// Processes of group pgid that have not ended (zombies left out).
size_t groupMembers(pid_t pgid) {
    size_t n = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    while (dirent* e = readdir(proc)) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string text;
        if (e->d_name[0] < '1' || e->d_name[0] > '9' || !std::getline(stat, text)) continue;
        char state = 0;
        long ppid = 0, group = 0;
        const size_t close = text.rfind(')');
        if (close != std::string::npos &&
            sscanf(text.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &group) == 3 &&
            group == pgid && state != 'Z')
            ++n;
    }
    closedir(proc);
    return n;
}

// The names of the processes of group pgid other than those listed.
std::vector<std::string> otherNames(pid_t pgid, std::initializer_list<pid_t> listed) {
    std::vector<std::string> names;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return names;
    while (dirent* e = readdir(proc)) {
        const long pid = std::atol(e->d_name);
        if (pid <= 0 || getpgid(static_cast<pid_t>(pid)) != pgid ||
            std::find(listed.begin(), listed.end(), pid) != listed.end())
            continue;
        std::ifstream comm(std::string("/proc/") + e->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name)) names.push_back(name);
    }
    closedir(proc);
    return names;
}

std::string ownName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// Descriptors above 2 open in this process without close-on-exec, in the
// format of the stub's "fds=" line.
std::string inheritableFds() {
    std::string out;
    for (int fd = 3; fd < 1024; ++fd) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC))
            out += (out.empty() ? "" : " ") + std::to_string(fd);
    }
    return out;
}

bool noChildLeft() {
    int st;
    return waitpid(-1, &st, WNOHANG) == -1 && errno == ECHILD;
}

TEST(ChildProcess, RunsToolWithExactArgvAndNullInput) {
    ScopedEnv env;
    env.set("ARGVDUMP_ACTIONS", "stdin,err:to-stderr,exit:3");
    ChildProcess c;
    // No shell: blanks, quotes, '$' and empty arguments pass as they are.
    ASSERT_TRUE(c.start(argvdump, {"name0", "a b", "", "'$HOME'", "x:y"}, {}).ok());
    EXPECT_EQ(drain(c),
              "argc=5\nargv[0]=name0\nargv[1]=a b\nargv[2]=\nargv[3]='$HOME'\nargv[4]=x:y\n"
              "stdin=0\nto-stderr\n");
    EXPECT_EQ(exitCode(c), 3);
    EXPECT_TRUE(noChildLeft());
}

TEST(ChildProcess, ChildGetsDefaultSignalsAndNoInheritedDescriptors) {
    // Ignore and block signals here as the daemon does; none may reach the child.
    struct sigaction ign = {}, oldPipe, oldUsr1;
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &oldPipe);
    sigaction(SIGUSR1, &ign, &oldUsr1);
    sigset_t block, oldMask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigprocmask(SIG_BLOCK, &block, &oldMask);

    ScopedEnv env;
    env.set("ARGVDUMP_ACTIONS", "echo");
    ChildProcess longLived;
    ChildProcess::Options pipes;
    pipes.input = ChildProcess::Input::Pipe;
    ASSERT_TRUE(longLived.start(argvdump, {"lived"}, pipes).ok());

    env.set("ARGVDUMP_ACTIONS", "sigs,fds");
    ChildProcess probe;
    std::string inheritable = inheritableFds();
    ASSERT_TRUE(probe.start(argvdump, {"probe"}, {}).ok());
    std::string out = drain(probe);
    // Only what the test runner itself left inheritable may reach the child,
    // none of the pipes of either child.
    EXPECT_NE(out.find("ignored=\nblocked=\nfds=" + inheritable + "\n"), std::string::npos) << out;
    EXPECT_EQ(exitCode(probe), 0);

    sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    sigaction(SIGUSR1, &oldUsr1, nullptr);
    longLived.closeInput();
    EXPECT_EQ(exitCode(longLived), 0);
}

TEST(ChildProcess, StartFailuresAreReportedAndReaped) {
    TempDir tmp;
    std::string plain = tmp.path() + "/not-executable";
    std::ofstream(plain) << "data\n";
    chmod(plain.c_str(), 0644);
    struct Row {
        std::string path;
        int err;
    } rows[] = {
        {tmp.path() + "/missing", ENOENT}, {plain, EACCES}, {tmp.path(), EACCES},  // a directory
    };
    for (const Row& r : rows) {
        ChildProcess c;
        ChildProcess::StartResult s = c.start(r.path, {"x"}, {});
        EXPECT_EQ(s.stage, ChildProcess::Stage::Exec) << r.path;
        EXPECT_EQ(s.err, r.err) << r.path;
        EXPECT_EQ(c.pid(), 0);
        EXPECT_EQ(c.outputFd(), -1);
        EXPECT_TRUE(noChildLeft()) << r.path;
    }
}

// A hook before exec lets a watcher join the child's group before the
// program can start anything; a parent that dies in it leaves no program run.
TEST(ChildProcess, TheProgramWaitsForTheHookBeforeExec) {
    ScopedEnv env;
    env.set("ARGVDUMP_ACTIONS", "exit:3");
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    for (const bool parentDies : {false, true}) {
        SCOPED_TRACE(parentDies ? "the parent dies in the hook" : "the parent lets go");
        // A process of its own adopts the orphan, to tell how it ended.
        const pid_t adopter = fork();
        ASSERT_GE(adopter, 0);
        if (adopter == 0) {
            prctl(PR_SET_CHILD_SUBREAPER, 1);
            const pid_t parent = fork();
            if (parent == 0) {
                ChildProcess c;
                ChildProcess::Options o;
                o.ownGroup = true;
                o.failStatus = 77;
                bool held = false;
                o.beforeExec = [&](pid_t pid) {
                    char exe[4096] = {};
                    const std::string path = "/proc/" + std::to_string(pid) + "/exe";
                    // Still this program, already leading its own group.
                    held = readlink(path.c_str(), exe, sizeof exe - 1) > 0 &&
                           std::string(exe) == self && getpgid(pid) == pid;
                    if (parentDies) _exit(held ? 0 : 1);
                    return pid_t(0);
                };
                if (!c.start(argvdump, {"p"}, o).ok() || !held) _exit(1);
                _exit(StubHarness::exitCodeOf(c.wait(10000)) == 3 ? 0 : 1);
            }
            int st = 0;
            if (parent < 0 || waitpid(parent, &st, 0) != parent || !WIFEXITED(st) ||
                WEXITSTATUS(st) != 0)
                _exit(1);
            if (!parentDies) _exit(0);
            // The orphaned child: ended with the fail status, never ran the program.
            if (wait(&st) < 0 || !WIFEXITED(st)) _exit(1);
            _exit(WEXITSTATUS(st) == 77 ? 0 : 1);
        }
        int st = 0;
        ASSERT_EQ(waitpid(adopter, &st, 0), adopter);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    }
}

TEST(ChildProcess, EmptyArgvGetsThePathAsArgvZero) {
    ChildProcess c;
    ASSERT_TRUE(c.start(argvdump, {}, {}).ok());
    EXPECT_EQ(drain(c), "argc=1\nargv[0]=" + argvdump + "\n");
    EXPECT_EQ(exitCode(c), 0);
}

TEST(ChildProcess, RequestReplyOverTwoPipes) {
    ScopedEnv env;
    env.set("ARGVDUMP_ACTIONS", "echo");
    ChildProcess c;
    ChildProcess::Options o;
    o.input = ChildProcess::Input::Pipe;
    ASSERT_TRUE(c.start(argvdump, {"proxy"}, o).ok());
    // A second start on a busy object is refused, not a second child.
    EXPECT_EQ(c.start(argvdump, {"again"}, o).stage, ChildProcess::Stage::Busy);

    LineReader reader(c.outputFd(), 8192);
    std::string line;
    for (const char* want : {"argc=1", "argv[0]=proxy"}) {
        ASSERT_EQ(reader.readLine(line, 10000), LineReader::Status::Line);
        EXPECT_EQ(line, want);
    }
    for (const std::string req : {"first", "second request"}) {
        ASSERT_EQ(c.writeAll(req + "\n", 10000), FdIo::IoResult::Ok);
        ASSERT_EQ(reader.readLine(line, 10000), LineReader::Status::Line);
        EXPECT_EQ(line, "reply:" + req);
        ASSERT_EQ(reader.readLine(line, 10000), LineReader::Status::Line);
        EXPECT_EQ(line, "_response_ end");
    }
    // Nothing more is coming until another request: the read times out.
    EXPECT_EQ(reader.readLine(line, 50), LineReader::Status::TimedOut);
    // End of input is how a relay or proxy is told to end.
    c.closeInput();
    EXPECT_EQ(reader.readLine(line, 10000), LineReader::Status::Eof);
    EXPECT_EQ(exitCode(c), 0);
}

TEST(ChildProcess, TimeOutsThenSignal) {
    ScopedEnv env;
    env.set("ARGVDUMP_ACTIONS", "sleep:20000");
    ChildProcess c;
    ASSERT_TRUE(c.start(argvdump, {"slow"}, {}).ok());
    char buf[256];
    std::size_t got;
    ASSERT_EQ(StubHarness::readUntil(c, "argv[0]=slow\n", 10000), "argc=1\nargv[0]=slow\n");
    EXPECT_EQ(c.read(buf, sizeof buf, got, 30), FdIo::IoResult::TimedOut);
    ChildProcess::WaitResult w = c.wait(30);
    EXPECT_FALSE(w.reaped);
    EXPECT_EQ(w.err, ETIMEDOUT);
    ASSERT_TRUE(c.signal(SIGTERM));
    w = c.wait(10000);
    ASSERT_TRUE(w.reaped);
    EXPECT_TRUE(WIFSIGNALED(w.status) && WTERMSIG(w.status) == SIGTERM);
    EXPECT_FALSE(c.signal(SIGTERM));  // reaped: its pid may belong to another process now
}

// One child of argvdump for a release case: SIGCHLD set as the row asks
// (restored at the end), the actions in its environment, its input a pipe.
struct ReleaseCase {
    ReleaseCase(const char* actions, bool ignoreSigchld, bool ownGroup) {
        struct sigaction ign = {};
        ign.sa_handler = ignoreSigchld ? SIG_IGN : SIG_DFL;
        sigaction(SIGCHLD, &ign, &old);
        env.set("ARGVDUMP_ACTIONS", actions);
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Pipe;
        o.ownGroup = ownGroup;
        started = c.start(argvdump, {ownGroup ? "lead" : "hang"}, o).ok();
        pid = c.pid();
    }
    ~ReleaseCase() {
        c.release();
        sigaction(SIGCHLD, &old, nullptr);
    }
    struct sigaction old = {};
    ScopedEnv env;
    ChildProcess c;
    bool started = false;
    pid_t pid = 0;
};

// Released while still running, a child is ended and reaped: closing its
// input, then SIGTERM, then SIGKILL, whichever it needs. Under an ignored
// SIGCHLD (the daemon) and a default one.
TEST(ChildProcess, ReleaseEndsAChildThatIsStillRunning) {
    struct Row {
        const char* actions;
        bool ignoreSigchld;
    };
    const Row rows[] = {
        {"stdin", false},               // ends at end of input: no signal needed
        {"sleep:20000", false},         // ignores its input: SIGTERM
        {"noterm,sleep:20000", false},  // ignores SIGTERM too: SIGKILL
        {"sleep:20000", true},
        {"noterm,sleep:20000", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.actions) + (r.ignoreSigchld ? " SIGCHLD ignored" : ""));
        ReleaseCase rc(r.actions, r.ignoreSigchld, false);
        ASSERT_TRUE(rc.started);
        StubHarness::readUntil(rc.c, "argv[0]=hang\n", 10000);
        rc.c.release();
        // Gone, not even a zombie.
        EXPECT_EQ(kill(rc.pid, 0), -1);
        EXPECT_EQ(errno, ESRCH);
        EXPECT_FALSE(rc.c.signal(SIGTERM));
    }
}

// A child started in a group of its own is released with its whole group,
// also when the child has ended by itself and left its own child behind,
// and under an ignored SIGCHLD, where the system reaps the child at once.
// Every row runs as the kernel allows and as on one that refuses to signal
// a group through a pidfd (before Linux 6.9); and with the leftovers found
// among the adopted descendants, also of a child started on another thread
// than the main one (orphans go to the main thread), and in the whole of /proc.
TEST(ChildProcess, ReleaseEndsTheChildsWholeGroup) {
    struct Row {
        const char* actions;
        bool ignoreSigchld;
        bool grandchildEnds;
    };
    const Row rows[] = {
        {"forkhang,sleep:20000", false, true},         // both hang: SIGTERM to the group
        {"noterm,forkhang,sleep:20000", false, true},  // both ignore SIGTERM: SIGKILL
        {"forkhang,stdin", false, true},  // the child ends at end of input, its own stays
        {"forkhang,stdin", true, true},
        {"noterm,forkhang,stdin", true, true},  // ... and ignores SIGTERM
        {"noterm,forkhang,sleep:20000", true, true},
        // One that left the group and session on purpose is not the group's.
        {"forkdaemon,sleep:20000", true, false},
    };
    enum class Look { Walk, WalkFromThread, Scan };
    auto runRow = [](const Row& r) {
        ReleaseCase rc(r.actions, r.ignoreSigchld, true);
        ASSERT_TRUE(rc.started);
        ChildProcess& c = rc.c;
        const pid_t pid = rc.pid;
        std::string out;
        for (int reads = 0; reads < 10 && out.find("child=") == std::string::npos; ++reads)
            out += StubHarness::readUntil(c, "\n", 10000);
        ASSERT_NE(out.find("child="), std::string::npos) << out;
        const pid_t grandchild = std::atoi(out.c_str() + out.find("child=") + 6);
        ASSERT_GT(grandchild, 0) << out;
        // Under an ignored SIGCHLD a keeper holds the group id exactly where
        // the group is not signalled through a pidfd.
        // It bears the program's name, not that of the thread it came from.
        if (r.ignoreSigchld && r.grandchildEnds) {
            EXPECT_EQ(groupMembers(pid), ChildProcess::groupsSignalledByPidfd() ? 2u : 3u);
            for (const std::string& name : otherNames(pid, {pid, grandchild}))
                EXPECT_EQ(name, ownName());
        }
        c.release();
        // SIGKILL takes effect as soon as the process is next scheduled.
        for (int i = 0; i < 200 && r.grandchildEnds && StubHarness::running(grandchild); ++i)
            usleep(10000);
        EXPECT_FALSE(StubHarness::running(pid));
        EXPECT_EQ(StubHarness::running(grandchild), !r.grandchildEnds);
        EXPECT_FALSE(c.signalGroup(SIGTERM));
        // Orphaned, the grandchild is reaped by another parent; never left running.
        if (StubHarness::running(grandchild)) kill(grandchild, SIGKILL);
    };
    for (const bool refused : {false, true}) {
        ChildProcess::refuseGroupPidfdSignal(refused);
        for (const Look look : {Look::Walk, Look::WalkFromThread, Look::Scan}) {
            ChildProcess::refuseDescendantWalk(look == Look::Scan);
            for (const Row& r : rows) {
                SCOPED_TRACE(std::string(r.actions) + (r.ignoreSigchld ? " SIGCHLD ignored" : "") +
                             (refused ? " group pidfd signal refused" : "") +
                             (look == Look::Scan             ? " whole /proc"
                              : look == Look::WalkFromThread ? " from another thread"
                                                             : ""));
                if (look == Look::WalkFromThread)
                    std::thread([&] {
                        pthread_setname_np(pthread_self(), "sensorthread");
                        runRow(r);
                    }).join();
                else
                    runRow(r);
            }
        }
    }
    ChildProcess::refuseDescendantWalk(false);
    ChildProcess::refuseGroupPidfdSignal(false);
}

// An owner killed outright, which ignores SIGCHLD, where the group is
// signalled by its id: the keeper sees its lifeline close and ends the group,
// also a member that ignores SIGTERM. A group that asks for a keeper has one
// also where it is signalled through a pidfd.
TEST(ChildProcess, AKeeperEndsTheGroupOfAnOwnerKilledOutright) {
    struct Row {
        const char* actions;
        bool refused;  // the group pidfd signal
        bool endedWithOwner;
    };
    const Row rows[] = {
        {"forkhang,sleep:20000", true, false},
        {"noterm,forkhang,sleep:20000", true, false},
        {"noterm,forkhang,sleep:20000", false, true},  // a hung tool and its child
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.actions) + (r.refused ? " group pidfd signal refused" : ""));
        int pids[2];
        ASSERT_EQ(pipe(pids), 0);
        const pid_t owner = fork();
        ASSERT_GE(owner, 0);
        if (owner == 0) {
            close(pids[0]);
            signal(SIGCHLD, SIG_IGN);
            ChildProcess::refuseGroupPidfdSignal(r.refused);
            setenv("ARGVDUMP_ACTIONS", r.actions, 1);
            ChildProcess c;
            ChildProcess::Options o;
            o.input = ChildProcess::Input::Pipe;
            o.ownGroup = true;
            o.endedWithOwner = r.endedWithOwner;
            if (!c.start(argvdump, {"lead"}, o).ok()) _exit(1);
            std::string out;
            for (int reads = 0; reads < 10 && out.find("child=") == std::string::npos; ++reads)
                out += StubHarness::readUntil(c, "\n", 10000);
            const std::string line =
                std::to_string(c.pid()) + " " + out.substr(out.find("child=")) + "\n";
            if (write(pids[1], line.data(), line.size()) < 0) _exit(1);
            for (;;) pause();
        }
        close(pids[1]);
        struct Ender {
            pid_t pid;
            ~Ender() {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        } ender{owner};
        char buf[64] = {};
        ASSERT_GT(read(pids[0], buf, sizeof buf - 1), 0);
        close(pids[0]);
        int leader = 0, grandchild = 0;
        ASSERT_EQ(sscanf(buf, "%d child=%d", &leader, &grandchild), 2) << buf;
        ASSERT_TRUE(StubHarness::running(grandchild));
        kill(owner, SIGKILL);
        waitpid(owner, nullptr, 0);
        for (int i = 0; i < 300 && (StubHarness::running(leader) || StubHarness::running(grandchild));
             ++i)
            usleep(10000);
        EXPECT_FALSE(StubHarness::running(leader));
        EXPECT_FALSE(StubHarness::running(grandchild));
        kill(leader, SIGKILL);
        kill(grandchild, SIGKILL);
    }
}

TEST(ChildProcess, WorksWithStandardStreamsClosed) {
    // With descriptors 0 and 1 closed, the pipes take those numbers; the
    // child must still get each stream on its right descriptor.
    int savedIn = dup(0);
    int savedOut = dup(1);
    close(0);
    close(1);
    ScopedEnv env;
    env.set("ARGVDUMP_ACTIONS", "echo");
    std::string out;
    {
        ChildProcess c;
        ChildProcess::Options o;
        o.input = ChildProcess::Input::Pipe;
        o.error = ChildProcess::ErrorOutput::Inherit;
        if (c.start(argvdump, {"p"}, o).ok()) {
            c.writeAll(std::string("ping\n"), 10000);
            c.closeInput();
            out = drain(c);
            c.wait(10000);
        }
    }
    dup2(savedIn, 0);
    dup2(savedOut, 1);
    close(savedIn);
    close(savedOut);
    EXPECT_EQ(out, "argc=1\nargv[0]=p\nreply:ping\n_response_ end\n");
}

TEST(RestartThrottle, AllowsAStartOnlyAfterTheGap) {
    RestartThrottle t;
    EXPECT_TRUE(t.mayStart(1000));  // never tried
    t.noteAttempt(1000);
    EXPECT_FALSE(t.mayStart(1000));
    EXPECT_FALSE(t.mayStart(1002));  // last attempt + 2 is still too early
    EXPECT_TRUE(t.mayStart(1003));
}

}  // namespace
