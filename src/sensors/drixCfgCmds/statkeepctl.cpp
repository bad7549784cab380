// statkeepctl: enables, updates or disables the sensor daemon on this node.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "DaemonUtils.h"
#include "PlatformPaths.h"
#include "StatkeepCtrl.h"

namespace {

// The exit status of the command behind a system() status; 128 plus the
// signal for one killed by a signal (as a shell reports it); -1 when no
// command could be run.
int commandExitStatus(int status) {
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return status;
}

void onFileSizeLimit(int) {}

}  // namespace

int main(int argc, char* argv[]) {
    // Past a file-size limit the write then fails with EFBIG and is reported
    // with the old file kept, instead of the tool dying silently. A handler,
    // not SIG_IGN, so that the service scripts run later start with the
    // default action.
    struct sigaction fileSize = {};
    fileSize.sa_handler = onFileSizeLimit;
    sigaction(SIGXFSZ, &fileSize, nullptr);
    StatkeepCtrl ctrl;
    if (!ctrl.init(argc, argv, Platform::path(StatkeepCtrl::LOCK_FILE))) return -1;
    const std::string cfgFile = Platform::path(StatkeepCtrl::CFG_FILE);
    StdErrLogger logger;

    if (ctrl.isDisableCmd()) {
        // What the rewrite refuses is refused before the daemon is stopped.
        if (!ctrl.removeConfig(cfgFile, true)) return -1;
        const int rc = service("cvxsensors", "stop");
        const bool removed = ctrl.removeConfig(cfgFile);  // whatever the stop did: the node is off
        if (rc != 0) {
            logger.logError("could not stop cvxsensors (rc=%d)", rc);
            return -1;
        }
        return removed ? 0 : -1;
    }

    ctrl.applyFilter();
    if (!ctrl.assignCollectors()) return -1;
    ctrl.removeTemporaryFiles(cfgFile);
    if (ctrl.hasChanged(cfgFile)) {
        if (!ctrl.writeConfig(cfgFile)) return -1;
    } else if (!ctrl.isRestartOwed(cfgFile)) {
        return 0;
    }
    // A failed restart stays owed, so that the same command run again
    // retries it although the file is already up to date.
    const int rc = service("cvxsensors", "restart");
    if (rc != 0) {
        logger.logError("could not restart cvxsensors (rc=%d)", commandExitStatus(rc));
        return -1;
    }
    ctrl.restartDone(cfgFile);
    return 0;
}
