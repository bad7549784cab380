// Helpers for tests that run built programs against the stand-ins of this
// directory: a temporary platform root, environment settings scoped to one
// test, tool installation and a program run that feeds input and collects
// output with a time-out. Header-only; used from single-threaded test code.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "FdIo.h"

namespace StubHarness {

// A fresh directory under /tmp, removed with its contents at the end. Short
// on purpose: a UNIX socket path inside it must stay below 108 bytes.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/vlm-XXXXXX";
        const char* made = mkdtemp(tmpl);
        dir = made ? made : "";
    }
    ~TempDir() {
        if (!dir.empty()) {
            nftw(
                dir.c_str(),
                [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
                FTW_DEPTH | FTW_PHYS);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }

  private:
    std::string dir;
};

// The meta-file of a generic sensor (id 70) whose rows the fake proxy
// answers: keys node, sensor and item, values pid and count. proxyArgs, when
// not empty, is handed to the proxy; subCmd is the request of every sample.
inline std::string genericMetaText(const std::string& proxyCmd, const std::string& proxyArgs,
                                   const std::string& subCmd = "stats") {
    auto metric = [](const char* name, int id, const char* type, int len, const char* semantic) {
        return std::string("{ name = \"") + name + "\" id = " + std::to_string(id) +
               " type = \"" + type + "\" len = " + std::to_string(len) + " semantic = \"" +
               semantic + "\" }";
    };
    return "sensorID = 70\nproxy = { proxyCmd = \"" + proxyCmd + "\"" +
           (proxyArgs.empty() ? "" : " proxyArgs = \"" + proxyArgs + "\"") +
           " subcmd = \"" + subCmd + "\" }\n"
           "keyelems = { pos = 0 elem = \"node\" }, { pos = 1 elem = \"sensor\" },\n"
           "  { pos = 2 elem = \"item\" }\nmetrics = " +
           metric("count", 7002, "UINT64", 8, "COUNTER") + ",\n  " +
           metric("node", 100, "STRING", 64, "KEYELEM") + ",\n  " +
           metric("sensor", 101, "STRING", 36, "KEYELEM") + ",\n  " +
           metric("item", 7000, "STRING", 32, "KEYELEM") + ",\n  " +
           metric("pid", 7001, "UINT64", 8, "QUANTITY") + "\n";
}

// Creates every missing directory of path.
inline bool makeDirs(const std::string& path) {
    std::string sofar;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        sofar = path.substr(0, pos);
        if (mkdir(sofar.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Sets (or, with a null value, removes) environment variables until the end
// of the scope, restoring what was there before.
class ScopedEnv {
  public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
            if (it->second.first) {
                setenv(it->first.c_str(), it->second.second.c_str(), 1);
            } else {
                unsetenv(it->first.c_str());
            }
        }
    }
    void set(const std::string& name, const char* value) {
        const char* old = std::getenv(name.c_str());
        saved.push_back({name, {old != nullptr, old ? old : ""}});
        if (value) {
            setenv(name.c_str(), value, 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    // Lets an AddressSanitizer build accept a library preloaded ahead of it.
    void preload(const std::string& library) {
        set("LD_PRELOAD", library.c_str());
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string opts = asan ? std::string(asan) + ":" : "";
        set("ASAN_OPTIONS", (opts + "verify_asan_link_order=0").c_str());
    }

  private:
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved;
};

// Installs the stub as each of names in dir (symbolic links).
inline bool installTools(const std::string& dir, const std::string& stub,
                         const std::vector<std::string>& names) {
    if (!makeDirs(dir)) return false;
    for (const std::string& n : names) {
        std::string link = dir + "/" + n;
        ::unlink(link.c_str());
        if (symlink(stub.c_str(), link.c_str()) != 0) return false;
    }
    return true;
}

struct RunResult {
    std::string output;     // everything the program wrote on standard output
    int exitStatus = -1;    // exit code, or 128 + signal number, -1 if not reaped
    bool timedOut = false;  // the time-out ended the run (the program was killed)
};

inline int exitCodeOf(const ChildProcess::WaitResult& w) {
    if (!w.reaped) return -1;
    if (WIFEXITED(w.status)) return WEXITSTATUS(w.status);
    if (WIFSIGNALED(w.status)) return 128 + WTERMSIG(w.status);
    return -1;
}

// Runs program with argv (program alone when empty), writes input to its
// standard input while collecting its standard output, closes its input once
// everything is written (and, with holdUntil, once the output holds holdCount
// copies of it), reads to the end and reaps it. Standard error stays the
// test's own. A run longer than timeoutMs is killed.
inline RunResult runProgram(const std::string& program, const std::string& input,
                            int timeoutMs = 20000, std::vector<std::string> argv = {},
                            const std::string& holdUntil = "", std::size_t holdCount = 0) {
    RunResult res;
    auto answered = [&] {
        std::size_t n = 0;
        for (std::size_t at = res.output.find(holdUntil);
             n < holdCount && !holdUntil.empty() && at != std::string::npos;
             at = res.output.find(holdUntil, at + 1))
            ++n;
        return n >= holdCount;
    };
    ChildProcess child;
    ChildProcess::Options o;
    o.input = ChildProcess::Input::Pipe;
    o.output = ChildProcess::Output::Pipe;
    o.error = ChildProcess::ErrorOutput::Inherit;
    if (argv.empty()) argv.push_back(program);
    if (!child.start(program, argv, o).ok()) return res;

    FdIo::Deadline deadline(timeoutMs);
    std::size_t written = 0;
    if (input.empty() && answered()) child.closeInput();
    char buf[65536];
    bool outputOpen = true;
    while (outputOpen) {
        if (deadline.passed()) {
            res.timedOut = true;
            child.signal(SIGKILL);
            break;
        }
        if (child.inputFd() >= 0) {
            // Small slices keep both directions moving without a second thread.
            std::size_t slice = input.size() - written < 4096 ? input.size() - written : 4096;
            FdIo::IoResult w = FdIo::writeAll(child.inputFd(), input.data() + written, slice, 0);
            if (w == FdIo::IoResult::Ok) written += slice;
            if (w == FdIo::IoResult::Error || (written == input.size() && answered()))
                child.closeInput();
        }
        std::size_t got = 0;
        FdIo::IoResult r = child.read(buf, sizeof buf, got, written < input.size() ? 1 : 50);
        if (r == FdIo::IoResult::Ok) res.output.append(buf, got);
        if (r == FdIo::IoResult::Eof || r == FdIo::IoResult::Error) outputOpen = false;
    }
    child.closeInput();
    child.closeOutput();
    res.exitStatus = exitCodeOf(child.wait(res.timedOut ? -1 : deadline.remainingMs() + 5000));
    if (res.exitStatus == -1) {
        child.signal(SIGKILL);
        child.wait(-1);
        res.timedOut = true;
    }
    return res;
}

// Runs this test program again with arg, to read what it prints before main
// (exitStatus -1 when its own path cannot be read).
inline RunResult runSelf(const std::string& arg) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = '\0';
    return runProgram(self, "", 20000, {self, arg});
}

// Whether pid names a process that still runs (neither ended nor a zombie).
// A process reaped between the open and the read fails the read (ESRCH, or
// nothing read): it has ended, like one whose file is gone.
inline bool running(pid_t pid) {
    const int fd = open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) < 0 && errno == EINTR) {
    }
    close(fd);
    if (n <= 0) return false;
    const std::string stat(buf, static_cast<std::size_t>(n));
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z' &&
           stat[close + 2] != 'X';
}

// Runs a command relay as runProgram does, keeping its input open until every
// request line is answered with marker, as the daemon does: a relay ends the
// tool it runs when its input ends.
inline RunResult runRelay(const std::string& program, const std::string& input,
                          const std::string& marker) {
    std::size_t requests = 0;
    for (char c : input) requests += c == '\n';
    return runProgram(program, input, 20000, {}, marker, requests);
}

// Reads from the child's output until the collected text ends with terminator
// or the time-out passes; returns what was read.
inline std::string readUntil(ChildProcess& child, const std::string& terminator,
                             int timeoutMs = 20000) {
    std::string out;
    FdIo::Deadline deadline(timeoutMs);
    char buf[4096];
    while (out.size() < terminator.size() ||
           out.compare(out.size() - terminator.size(), terminator.size(), terminator) != 0) {
        std::size_t got = 0;
        if (child.read(buf, sizeof buf, got, deadline.remainingMs()) != FdIo::IoResult::Ok) break;
        out.append(buf, got);
    }
    return out;
}

// A program run with its standard output and standard error collected
// separately, each through a file of its own.
struct ToolRun {
    std::string out;
    std::string err;
    int exitStatus = -1;  // as exitCodeOf; -1 when killed by the time-out
};

// Starts argv[0] with argv, standard input /dev/null, standard output to
// outPath and standard error to errPath (created or truncated). -1 when the
// fork fails; a failed exec exits 127.
inline pid_t startTool(const std::vector<std::string>& argv, const std::string& outPath,
                       const std::string& errPath) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
}

// Waits for the tool to end; kills it after timeoutMs.
inline int waitTool(pid_t pid, int timeoutMs = 20000) {
    if (pid < 0) return -1;
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 5) {
        if (waited >= timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(5000);
    }
    ChildProcess::WaitResult w;
    w.reaped = true;
    w.status = status;
    return exitCodeOf(w);
}

// Runs the tool to its end. The two streams go to files under dir; stdoutPath,
// when given, replaces the output file (for example /dev/full).
inline ToolRun runTool(const std::string& dir, const std::vector<std::string>& argv,
                       const std::string& stdoutPath = "", int timeoutMs = 20000) {
    const std::string outPath = stdoutPath.empty() ? dir + "/tool.out" : stdoutPath;
    const std::string errPath = dir + "/tool.err";
    ToolRun r;
    r.exitStatus = waitTool(startTool(argv, outPath, errPath), timeoutMs);
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    if (stdoutPath.empty()) r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}

}  // namespace StubHarness
