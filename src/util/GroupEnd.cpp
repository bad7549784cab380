#include "GroupEnd.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "ChildProcess.h"
#include "FdIo.h"

// Older system headers lack this; the kernel number is fixed.
#ifndef PIDFD_SIGNAL_PROCESS_GROUP
#define PIDFD_SIGNAL_PROCESS_GROUP (1U << 2)
#endif

namespace {

// Whether the kernel signals a process group through a pidfd: 0 not yet
// known, 1 it does, -1 it refuses the flag (before Linux 6.9).
std::atomic<int> groupPidfdSignal{0};
// The test seam that makes it refused.
std::atomic<bool> groupPidfdSignalRefused{false};

}  // namespace

bool GroupEnd::pidfdSignalWorks() {
    if (groupPidfdSignalRefused.load()) return false;
    int known = groupPidfdSignal.load();
    if (known == 0) {
        // Signal 0 through our own pidfd only checks: it reaches nobody. A
        // kernel without the flag refuses it with EINVAL before it looks at
        // the group; one with it answers ESRCH where we lead no group (a
        // daemon run from a shell script or a test runner), which still
        // tells that the flag is known.
        const int self = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
        if (self < 0) {
            known = -1;
        } else {
            const long rc =
                syscall(SYS_pidfd_send_signal, self, 0, nullptr, PIDFD_SIGNAL_PROCESS_GROUP);
            known = rc == 0 || errno == ESRCH ? 1 : -1;
        }
        if (self >= 0) close(self);
        groupPidfdSignal.store(known);
    }
    return known > 0;
}

namespace {

// The keeper's life (see ChildProcess.h). It is cloned rather than forked,
// with no exit signal, which keeps the system from reaping it under an
// ignored SIGCHLD; for the same reason it skips the library's fork handling,
// so from the clone on it runs nothing but raw system calls, and the
// sanitizers' instrumentation is left out. It takes the program's name
// (a clone would show the name of the thread it came from), and should its
// lifeline close while the group still runs, as when the owner is killed
// outright, it ends the group: SIGTERM, then SIGKILL after KEEPER_GRACE_NS.
constexpr long KEEPER_GRACE_NS = 500L * 1000 * 1000;
__attribute__((noinline, no_sanitize("address", "thread", "undefined"))) pid_t cloneKeeper(
    int line, const sigset_t* all, const char* name, pid_t group) {
    const long pid = syscall(SYS_clone, 0UL, 0UL, 0UL, 0UL, 0UL);
    if (pid != 0) return static_cast<pid_t>(pid);
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, all, nullptr, 8UL);
    // Also from this side, as the owner may die before it has made the keeper a member.
    syscall(SYS_setpgid, 0L, static_cast<long>(group));
    syscall(SYS_prctl, PR_SET_NAME, name, 0UL, 0UL, 0UL);
    // Holding another child's pipe would keep that child from its end of input.
    if (line != 0) syscall(SYS_dup3, line, 0, 0);
    if (syscall(SYS_close_range, 1U, ~0U, 0U) != 0) {
        for (long fd = 1; fd < 1024; ++fd) syscall(SYS_close, fd);
    }
    char c;
    while (syscall(SYS_read, 0, &c, 1UL) > 0) {
    }
    // An owner that ends the group itself kills the keeper instead. Only a
    // member signals the group: it holds the id, which then names no other.
    if (syscall(SYS_getpgid, 0L) == group) {
        syscall(SYS_kill, -static_cast<long>(group), SIGTERM);
        struct timespec grace = {0, KEEPER_GRACE_NS};
        syscall(SYS_nanosleep, &grace, nullptr);
        syscall(SYS_kill, -static_cast<long>(group), SIGKILL);
    }
    syscall(SYS_exit_group, 0);
    for (;;) {
    }
}

// Whether ends of groups are looked for among this process's own
// descendants: 0 not yet known, 1 they are, -1 the whole of /proc is read.
std::atomic<int> descendantWalk{0};
// The test seam that makes it read the whole of /proc.
std::atomic<bool> descendantWalkRefused{false};

// "pid (name) state ppid pgrp ...": the name may hold anything. False when
// the process is gone or its stat cannot be read.
bool readStat(int dirFd, const char* path, char& state, long& ppid, long& pgrp) {
    const int fd = openat(dirFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    const char* name = std::strrchr(buf, ')');
    return name != nullptr && std::sscanf(name + 1, " %c %ld %ld", &state, &ppid, &pgrp) == 3;
}

// The members a look for a group's end is after: not zombies, not the
// owner's own processes in the group (a keeper, a command relay's guard).
struct GroupLook {
    pid_t group;
    pid_t own[2];
    bool isOwn(long pid) const { return pid == own[0] || pid == own[1]; }
};

// Reads the whole of /proc: the cost grows with the host, so it serves only
// where the descendants cannot be listed.
int scanAllProcesses(const GroupLook& look) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    int found = 0;
    while (found == 0) {
        const struct dirent* e = readdir(proc);
        if (e == nullptr) break;
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        char path[sizeof e->d_name + 8];
        std::snprintf(path, sizeof path, "%s/stat", e->d_name);
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (!readStat(dirfd(proc), path, state, ppid, pgrp)) continue;
        if (pgrp != look.group || state == 'Z' || state == 'X') continue;
        if (!look.isOwn(std::atol(e->d_name))) found = 1;
    }
    closedir(proc);
    return found;
}

// Appends the pids listed in a "children" file of /proc; false when it
// cannot be read (the task is gone, or the kernel lists no children).
bool readChildren(const char* path, std::vector<pid_t>& out) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(fd);
    const char* p = text.c_str();
    char* end = nullptr;
    for (long pid = std::strtol(p, &end, 10); end != p; pid = std::strtol(p, &end, 10)) {
        if (pid > 0) out.push_back(static_cast<pid_t>(pid));
        p = end;
    }
    return n == 0;
}

// Every thread's children of process pid (a multi-threaded tool forks from
// any of its threads).
void childrenOf(pid_t pid, std::vector<pid_t>& out) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    DIR* tasks = opendir(path);
    if (tasks == nullptr) return;
    while (const struct dirent* e = readdir(tasks)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        char file[sizeof path + sizeof e->d_name + 16];
        std::snprintf(file, sizeof file, "%s/%s/children", path, e->d_name);
        readChildren(file, out);
    }
    closedir(tasks);
}

}  // namespace

// This process adopts what the programs it starts leave orphaned (it is a
// child subreaper), and the kernel lists a task's children: a group's
// members are then found among our own descendants, at a cost that follows
// the group, not the host.
bool GroupEnd::walkDescendants() {
    if (descendantWalkRefused.load()) return false;
    int known = descendantWalk.load();
    if (known == 0) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/task/%d/children", static_cast<int>(getpid()));
        std::vector<pid_t> ignored;
        known = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0 && readChildren(path, ignored) ? 1
                                                                                           : -1;
        descendantWalk.store(known);
    }
    return known > 0;
}

namespace {

// Looks for the group's members among the leader's descendants and the
// orphans we adopted. An orphan goes to the first live thread of its
// subreaper, our main thread. Zombies of ours in the group (leftovers that
// were adopted, then ended) are reaped on the way when reap is set; the
// leader is not, it holds the group id.
int walkGroup(const GroupLook& look, pid_t leader, bool reap) {
    char main[64];
    std::snprintf(main, sizeof main, "/proc/self/task/%d/children", static_cast<int>(getpid()));
    const pid_t self = getpid();
    std::vector<pid_t> next{leader};
    std::unordered_set<pid_t> seen{leader};
    std::vector<pid_t> found;
    auto add = [&] {
        bool added = false;
        for (const pid_t pid : found) {
            if (seen.insert(pid).second) {
                next.push_back(pid);
                added = true;
            }
        }
        found.clear();
        return added;
    };
    // Bounded, so that a fork bomb in the group cannot hold the caller.
    for (std::size_t i = 0; i < 100000; ++i) {
        if (i == next.size()) {
            // Our own list is read last, and again until it names no one not
            // yet looked at: a member whose parent ends during the walk (as
            // the leader at SIGTERM) moves from the parent's list to ours,
            // after we may have read ours, and before the parent shows as a
            // zombie.
            if (!readChildren(main, found)) return -1;
            if (!add()) return 0;
        }
        const pid_t pid = next[i];
        char path[32];
        std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (!readStat(AT_FDCWD, path, state, ppid, pgrp) || pgrp != look.group) continue;
        // A leader the system has reaped may have left its pid to a stranger.
        if (i == 0 && ppid != self) continue;
        if (state == 'Z' || state == 'X') {
            // Our child, so the pid is still its own until we reap it.
            if (reap && pid != leader && ppid == self && !look.isOwn(pid)) waitpid(pid, nullptr, WNOHANG);
            continue;
        }
        if (!look.isOwn(pid)) return 1;
        childrenOf(pid, found);
        add();
    }
    return 0;
}

// Whether a process other than a zombie or one of the owner's own sits in
// the group; -1 when that cannot be told.
int groupHasMembers(const GroupLook& look, pid_t leader, bool reap) {
    if (GroupEnd::walkDescendants()) {
        const int found = walkGroup(look, leader, reap);
        if (found >= 0) return found;
    }
    return scanAllProcesses(look);
}

}  // namespace

void ChildProcess::startKeeper(pid_t group) {
    int life[2];
    if (pipe2(life, O_CLOEXEC) != 0) return;
    sigset_t all;
    sigfillset(&all);
    // The program's own name, so that the keeper is seen as part of it.
    char name[16] = "keeper";
    const int comm = open("/proc/self/comm", O_RDONLY | O_CLOEXEC);
    if (comm >= 0) {
        const ssize_t n = ::read(comm, name, sizeof name - 1);
        if (n > 0) name[name[n - 1] == '\n' ? n - 1 : n] = '\0';
        close(comm);
    }
    const int lineEnd = life[0];
    const pid_t pid = cloneKeeper(lineEnd, &all, name, group);
    close(lineEnd);
    if (pid > 0 && setpgid(pid, group) == 0) {
        std::lock_guard<std::mutex> lock(handleLock);
        keeperPid = pid;
        keeperLine = life[1];
        return;
    }
    // No keeper (the program has died already, or the clone failed): the
    // group is then not signalled by its id once the program has ended.
    if (pid > 0) {
        kill(pid, SIGKILL);
        int st;
        while (waitpid(pid, &st, __WALL) < 0 && errno == EINTR) {
        }
    }
    close(life[1]);
}

bool ChildProcess::groupIdHeld() const {
    return keeperPid > 0 || (childPid > 0 && !autoReaped && !leaderReaped);
}

bool ChildProcess::signalGroup(int sig) {
    std::lock_guard<std::mutex> lock(handleLock);
    if (childPid <= 0 || !groupLeader) return false;
    if (groupByPidfd) {
        return syscall(SYS_pidfd_send_signal, pidFd, sig, nullptr, PIDFD_SIGNAL_PROCESS_GROUP) == 0;
    }
    // Under the lock, so that the id's holder cannot be reaped meanwhile.
    return groupIdHeld() && kill(-childPid, sig) == 0;
}

void ChildProcess::refuseGroupPidfdSignal(bool refuse) { groupPidfdSignalRefused.store(refuse); }

bool ChildProcess::groupsSignalledByPidfd() { return GroupEnd::pidfdSignalWorks(); }

void ChildProcess::refuseDescendantWalk(bool refuse) { descendantWalkRefused.store(refuse); }

bool ChildProcess::groupEnded(int timeoutMs) {
    FdIo::Deadline deadline(timeoutMs);
    for (;;) {
        // No process at all, not even a zombie: the kernel tells at once
        // where it names the group by pidfd, without a look through /proc.
        if (groupByPidfd && !signalGroup(0)) return true;
        const int members = groupHasMembers({childPid, {keeperPid, ownPid}}, childPid, true);
        // Without /proc (-1) a group is seen to end only by the pidfd above.
        if (members == 0) return true;
        if (deadline.passed()) return false;
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

ChildProcess::WaitResult ChildProcess::endGroup(int waitMs, int graceMs) {
    if (childPid <= 0 || !groupLeader) return wait(0);
    if (!leaderExited(waitMs) || !groupEnded(0)) {
        signalGroup(SIGTERM);
        // After SIGKILL the group is waited for too, so that adopted
        // leftovers are reaped with it.
        if (!groupEnded(graceMs) && signalGroup(SIGKILL)) groupEnded(1000);
        leaderExited(1000);
    }
    const WaitResult r = reapLeader();
    forget();
    return r;
}
