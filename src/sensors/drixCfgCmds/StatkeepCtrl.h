// statkeepctl's controller: turns the sensor daemon on, re-configures it or
// turns it off on one node. It derives the node's configuration from the
// cluster-wide file (sensors filtered by the node's name and roles, collectors
// chosen on the hash ring by node number), rewrites the daemon's file only
// when that changed, and restarts or stops the daemon.
//
// One object per run, built by the program entry; single-threaded. Runs on a
// node are serialised by an exclusive flock held from init until destruction.
// Every message goes to standard error at error level.
#pragma once

#include <set>
#include <string>

#include "Configuration.h"
#include "StdOutLogger.h"

typedef std::set<std::string> stringSet_t;

class StatkeepCtrl {
  public:
    static const char* const CFG_FILE;
    static const char* const LOCK_FILE;
    static const char* const ENABLE;
    static const char* const UPDATE;
    static const char* const DISABLE;
    static const char* const DEFAULT_COLLECTOR_PORT;

    StatkeepCtrl() = default;
    StatkeepCtrl(const StatkeepCtrl&) = delete;
    StatkeepCtrl& operator=(const StatkeepCtrl&) = delete;
    // Deletes the configuration, then releases the lock.
    virtual ~StatkeepCtrl();

    // Takes the lock (before looking at the arguments, so that even a bad
    // command waits its turn), parses the arguments and, for enable and
    // update, loads the cluster file.
    bool init(int argc, char* const argv[], const std::string& lockFile);

    // Opens the lock file (a regular file owned by the effective user, never
    // through a symbolic link, not inherited by programs started later) and
    // locks it, waiting as long as it takes. The lock is held only once the
    // path still names the locked file, since a previous holder removes it.
    bool getCfgLock();
    // Removes the lock file while still holding it (only when this run holds
    // the lock), then unlocks and closes it.
    void releaseCfgLock();

    void help(const char* progName) const;

    // Switches off (period 0) every sensor whose restrict value names neither
    // this node nor one of its roles. Values starting with "@" are left alone.
    void applyFilter();
    // Chooses this node's collectors from colCandidates and writes them into
    // the collectors list, one candidate per host and port; a Warning when
    // the ring yields fewer than wanted. False, with a message, when the
    // candidates are missing or unusable.
    bool assignCollectors();
    // Rewrites the collectors list from the chosen "host[:port]" strings, in
    // set order; entries added copy the first entry's other keys.
    bool createCollectorsConfig(const stringSet_t& chosen);

    // True when the file is missing, cannot be loaded, would be refused by
    // writeConfig, or differs from the edited configuration. Lists are
    // compared regardless of element order, so a file that differs only in
    // list order counts as unchanged.
    bool hasChanged(const std::string& path);
    // Replaces the file atomically (a temporary file of the tool's own hidden
    // form in the same directory, synced, renamed over the old one), with the
    // old file's owner, group and mode; through a symbolic link, the link's
    // target is replaced. Refused, with a message and nothing changed, when
    // the file is not a regular file, or when a link, directory or file on
    // the way is controlled by another user (an entry of a directory owned
    // by another user or world-writable without the sticky bit; in a sticky
    // one, an entry not owned by root or the caller), or when the file is no
    // longer what the walk to it found (created, replaced or removed since),
    // or when the name of the restart mark beside it (see isRestartOwed)
    // holds anything but the caller's own regular file.
    // Before the rename it records that a restart is owed (see
    // isRestartOwed). On failure the old file stays, and the message gives
    // the reason.
    bool writeConfig(const std::string& path);
    // Removes the file that the path leads to (the target where it is a
    // link), refused with a message where writeConfig would refuse to write
    // it, or where the file's directory does not let it be removed (on a
    // read-only filesystem, not writable by the caller, immutable or
    // append-only) or the file is immutable or append-only. A path that leads
    // to no file is nothing to remove. With checkOnly, only says whether the
    // removal would be refused.
    bool removeConfig(const std::string& path, bool checkOnly = false);
    // Removes the temporary files that runs killed while writing left beside
    // the file: only names of the tool's exact form, regular files owned by
    // the caller. writeConfig does it too; a run that writes nothing calls it.
    void removeTemporaryFiles(const std::string& path);
    // True when the file was rewritten and no restart has succeeded since.
    bool isRestartOwed(const std::string& path);
    // Forgets the owed restart, after one succeeded.
    void restartDone(const std::string& path);

    bool isDisableCmd() const { return isDisable; }

  protected:
    // Called between the walk to the file and its rewrite or removal; a test
    // changes the file there.
    virtual void walked() {}

    std::string lockFile;
    int lockFD = -1;
    std::string nodeNumber;
    stringSet_t nodeAttributes;
    Cfg::Configuration* config = nullptr;  // owned
    StdErrLogger logger;
    bool isDisable = false;
    // Set only once this run holds the lock on the file the path names; a run
    // that never got it must not remove another run's lock file.
    bool lockHeld = false;
};
