#include "DaemonUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "LoggerStub.h"
#include "PlatformPaths.h"

bool createPidFile(const char* progName, const char* pidFile, LoggerStub* logger,
                   bool* lockedByOther) {
    if (lockedByOther) *lockedByOther = false;
    int fd = open(pidFile, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        int err = errno;
        if (logger)
            logger->logError("Could not open PID file %s: %s (%d)", pidFile, std::strerror(err),
                             err);
        return false;
    }

    struct flock lock;
    std::memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (fcntl(fd, F_SETLK, &lock) < 0) {
        int err = errno;
        if (lockedByOther) *lockedByOther = err == EAGAIN || err == EACCES;
        if (logger) {
            if (err == EAGAIN || err == EACCES)
                logger->logError("PID file '%s' is locked; probably '%s' is already running",
                                 pidFile, progName);
            else
                logger->logError("Unable to lock PID file '%s': %s (%d)", pidFile,
                                 std::strerror(err), err);
        }
        close(fd);
        return false;
    }

    if (ftruncate(fd, 0) < 0) {
        int err = errno;
        if (logger)
            logger->logError("Could not truncate PID file '%s': %s (%d)", pidFile,
                             std::strerror(err), err);
        close(fd);
        return false;
    }

    char buf[256];
    int len = std::snprintf(buf, sizeof(buf), "%ld\n", static_cast<long>(getpid()));
    // A partial write is continued so that a real failure leaves its errno;
    // a PID file without the whole id is a failure, not a success.
    ssize_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, buf + done, static_cast<size_t>(len - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            if (logger)
                logger->logError("Fatal error writing to PID file '%s': %s (%d)", pidFile,
                                 std::strerror(err), err);
            // Keep the descriptor: the lock still marks this instance as running.
            return false;
        }
        done += n;
    }

    // The descriptor stays open: the lock lasts as long as the process.
    if (logger) logger->logInfo("Created PIDFile %s.", pidFile);
    return true;
}

void initialLog(FILE* out, const char* fmt, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof(msg), fmt, ap);
    va_end(ap);

    char timeText[20];
    time_t now = std::time(nullptr);
    struct tm tmv;
    localtime_r(&now, &tmv);
    if (std::strftime(timeText, sizeof(timeText), "%b-%d %H:%M:%S ", &tmv) == 0) timeText[0] = '\0';
    std::fprintf(out, "%s [%-7s] %s: %s\n", timeText, "Info", "Main", msg);
    std::fflush(out);
}

bool daemonize(FILE* out) {
    if (getppid() == 1) return true;

    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        initialLog(out, "Fork failed: %s (%d)", std::strerror(err), err);
        return false;
    }
    if (pid > 0) _exit(0);

    if (setsid() < 0) {
        int err = errno;
        initialLog(out, "Could not create a session ID for daemon: %s (%d)", std::strerror(err),
                   err);
        return false;
    }

    int fd = open("/dev/null", O_RDWR);
    if (fd >= 0) {
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (fd > 2) close(fd);
    }
    umask(022);
    return true;
}

int runCmd(const std::string& cmd, Logger* logger) {
    if (logger) logger->logInfo("Running external command: %s", cmd.c_str());
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        if (logger) logger->logWarning("popen failed");
        return 1;
    }
    std::string output;
    char buf[8196];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), pipe)) > 0) output.append(buf, n);

    int status = pclose(pipe);
    int rc;
    if (status == -1)
        rc = -1;
    else if (WIFEXITED(status))
        rc = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        rc = 128 + WTERMSIG(status);  // as the shell reports it; never 0
    else
        rc = -1;
    if (logger) logger->logInfo("Received rc=%d, output=%s", rc, output.c_str());
    return rc;
}

namespace {

bool isOwnerExecutable(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) != 0;
}

// The name and action go into a shell command line unquoted; only plain
// words are let through. "." and ".." would name a directory, not a script.
bool isPlainWord(const std::string& s) {
    if (s.empty() || s == "." || s == "..") return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.' || c == '@';
        if (!ok) return false;
    }
    return true;
}

std::string findTool(const char* tool) {
    for (const char* dir : {"/sbin", "/bin", "/usr/sbin", "/usr/bin"}) {
        std::string candidate = Platform::path(std::string(dir) + "/" + tool);
        if (isOwnerExecutable(candidate)) return candidate;
    }
    return "";
}

}  // namespace

int service(const std::string& name, const std::string& action) {
    if (!isPlainWord(name) || !isPlainWord(action)) return -1;

    std::string cmd;
    std::string script = Platform::path("/etc/init.d/" + name);
    if (isOwnerExecutable(script)) {
        cmd = script + " " + action;
    } else {
        std::string systemctl = findTool("systemctl");
        if (!systemctl.empty()) {
            cmd = systemctl + " " + action + " " + name + ".service";
        } else {
            std::string tool = findTool("service");
            if (tool.empty()) return -1;
            cmd = tool + " " + name + " " + action;
        }
    }
    return std::system(cmd.c_str());
}

bool createDirIfNeeded(const char* path) {
    struct stat st;
    if (stat(path, &st) == 0) return S_ISDIR(st.st_mode) && (st.st_mode & S_IRWXU) == S_IRWXU;
    return mkdir(path, 0750) == 0;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
