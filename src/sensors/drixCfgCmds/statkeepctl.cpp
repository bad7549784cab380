// statkeepctl: enables, updates or disables the sensor daemon on this node.
#include <unistd.h>

#include "DaemonUtils.h"
#include "PlatformPaths.h"
#include "StatkeepCtrl.h"

int main(int argc, char* argv[]) {
    StatkeepCtrl ctrl;
    if (!ctrl.init(argc, argv, Platform::path(StatkeepCtrl::LOCK_FILE))) return -1;
    const std::string cfgFile = Platform::path(StatkeepCtrl::CFG_FILE);
    StdErrLogger logger;

    if (ctrl.isDisableCmd()) {
        const int rc = service("cvxsensors", "stop");
        ::unlink(cfgFile.c_str());  // whatever the stop did: the node is off
        if (rc != 0) {
            logger.logError("could not stop cvxsensors (rc=%d)", rc);
            return -1;
        }
        return 0;
    }

    ctrl.applyFilter();
    if (!ctrl.assignCollectors()) return -1;
    if (!ctrl.hasChanged(cfgFile)) return 0;
    if (!ctrl.writeConfig(cfgFile)) return -1;
    const int rc = service("cvxsensors", "restart");
    if (rc != 0) {
        logger.logError("could not restart cvxsensors (rc=%d)", rc);
        return -1;
    }
    return 0;
}
