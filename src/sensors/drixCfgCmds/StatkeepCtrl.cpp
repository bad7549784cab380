#include "StatkeepCtrl.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <sstream>
#include <vector>

#include "CfgFileParser.h"
#include "ConsistentHash.h"
#include "ParamNames.h"
#include "PathWalk.h"
#include "SensorDefaultConfig.h"
#include "cfgUtil.h"
#include "split.h"

const char* const StatkeepCtrl::CFG_FILE = "/opt/Ostrel/velmar/VelmarSensors.cfg";
const char* const StatkeepCtrl::LOCK_FILE = "/tmp/VelmarSensors.lck";
const char* const StatkeepCtrl::ENABLE = "enable";
const char* const StatkeepCtrl::UPDATE = "update";
const char* const StatkeepCtrl::DISABLE = "disable";
const char* const StatkeepCtrl::DEFAULT_COLLECTOR_PORT = CANDIDATE_DEFAULT_PORT;

namespace {

std::string lowerCase(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// What a candidate connects to: the host in lower case (names are compared
// without regard to case), the default port where it names none, and a port
// number without leading zeros, so that "h", "H:" and "h:04739" are one
// collector.
std::string addressOf(const std::string& candidate) {
    const Cfg::CollectorAddress a = collectorCandidateAddress(candidate);
    if (a.host.empty()) return "";
    const long number = Cfg::collectorPortNumber(a.port);
    return lowerCase(a.host) + ":" + (number >= 0 ? std::to_string(number) : a.port);
}

// The tool's own files beside the configuration file NAME, hidden and with
// the tool's name in them so that no file an operator keeps (NAME.240101,
// NAME.orig01, NAME.BACKUP) can take their form:
// - ".NAME.statkeepctl-XXXXXX", six letters or digits: a new file being
//   written; one found at the start of a run was left by a run killed while
//   writing (the lock is held, so no other run writes one now);
// - ".NAME.statkeepctl-restart": the file was rewritten (or about to be) and
//   the daemon has not yet been restarted since; a later run restarts it even
//   when it finds nothing changed. Its length keeps it from ever taking the
//   temporary form.
const char TMP_PART[] = ".statkeepctl-";
const std::size_t TMP_RANDOM = 6;
const char RESTART_PART[] = ".statkeepctl-restart";

std::string tmpPrefix(const std::string& name) { return "." + name + TMP_PART; }
std::string restartMarker(const std::string& name) { return "." + name + RESTART_PART; }

bool isAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Removes the temporary files of killed runs from the directory dirFd: only
// names of exactly the tool's temporary form, regular files owned by the
// caller. Called with the lock held, so none of them is being written.
void removeLeftovers(int dirFd, const std::string& name) {
    const std::string prefix = tmpPrefix(name);
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (d == nullptr) {
        if (fd >= 0) ::close(fd);
        return;
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string entry = e->d_name;
        if (entry.size() != prefix.size() + TMP_RANDOM ||
            entry.compare(0, prefix.size(), prefix) != 0 ||
            !std::all_of(entry.begin() + static_cast<long>(prefix.size()), entry.end(), isAlnum))
            continue;
        struct stat st;
        if (fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == geteuid())
            ::unlinkat(dirFd, e->d_name, 0);
    }
    ::closedir(d);
}

// Creates a new temporary file of the tool's form in dirFd, mode 0600, never
// through a link; its name in tmpName. -1 with errno on failure.
int createTemporary(int dirFd, const std::string& name, std::string& tmpName) {
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    std::mt19937 random(static_cast<unsigned>(now.tv_nsec) ^ static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<std::size_t> pick(0, sizeof LETTERS - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmpName = tmpPrefix(name);
        for (std::size_t i = 0; i < TMP_RANDOM; ++i) tmpName.push_back(LETTERS[pick(random)]);
        const int fd = ::openat(dirFd, tmpName.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// True when the marker of a restart still owed is beside the file: a regular
// file of the caller's own (another user's file of that name is no proof).
bool restartOwed(int dirFd, const std::string& name) {
    struct stat st;
    return fstatat(dirFd, restartMarker(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

// Leaves the marker in place, or creates it; never opens anything else of
// that name.
bool markRestartOwed(int dirFd, const std::string& name) {
    if (restartOwed(dirFd, name)) return true;
    const int fd = ::openat(dirFd, restartMarker(name).c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    return closeFd(fd) == 0;
}

// Why the name of the mark beside the file cannot be ours to use: anything
// there but the caller's own regular file is refused, and left alone, like
// any file another user controls. Empty when the mark is ours or absent.
std::string restartMarkRefusal(const PathWalk& walk) {
    const std::string mark = restartMarker(walk.name());
    struct stat st, dir;
    if (fstatat(walk.dirFd(), mark.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        (S_ISREG(st.st_mode) && st.st_uid == geteuid()))
        return "";
    const std::string path = walk.pathOf(mark);
    const std::string why =
        fstat(walk.dirFd(), &dir) == 0 ? controlledByOthers(walk.dir(), dir, path, st) : "";
    if (!why.empty()) return why;
    return path + (S_ISREG(st.st_mode) ? " belongs to another user" : " is not a regular file");
}

// The inode flags (chattr) of entry in dirFd, "." for the directory itself;
// 0 where they cannot be read (a file system without them, an entry the
// caller may not open, or another file than the walk found there): the
// removal then reports whatever stops it.
unsigned inodeFlags(int dirFd, const char* entry, const struct stat& walked) {
    const int fd =
        ::openat(dirFd, entry, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 0;
    int flags = 0;  // the kernel reads and writes an int, whatever the request's type says
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != walked.st_dev || st.st_ino != walked.st_ino ||
        ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        flags = 0;
    closeFd(fd);
    return static_cast<unsigned>(flags);
}

// Why the file the walk found cannot be removed, empty when nothing that can
// be seen beforehand stands in the way. Checked before disable stops the
// daemon: a file kept would start it again at the next boot.
std::string removalRefusal(const PathWalk& walk) {
    const std::string cannot = walk.pathOf(walk.name()) + " cannot be removed: ";
    struct stat dir;
    const unsigned dirFlags =
        fstat(walk.dirFd(), &dir) == 0 ? inodeFlags(walk.dirFd(), ".", dir) : 0;
    if (dirFlags & FS_IMMUTABLE_FL) return cannot + "directory " + walk.dir() + " is immutable";
    if (dirFlags & FS_APPEND_FL) return cannot + "directory " + walk.dir() + " is append-only";
    // On a read-only filesystem, or not the caller's to write.
    if (faccessat(walk.dirFd(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return cannot + std::strerror(errno);
    const unsigned fileFlags = inodeFlags(walk.dirFd(), walk.name().c_str(), walk.file());
    if (fileFlags & FS_IMMUTABLE_FL) return cannot + "it is immutable";
    if (fileFlags & FS_APPEND_FL) return cannot + "it is append-only";
    return "";
}

}  // namespace

StatkeepCtrl::~StatkeepCtrl() {
    delete config;
    config = nullptr;
    releaseCfgLock();
}

bool StatkeepCtrl::init(int argc, char* const argv[], const std::string& lockFileName) {
    lockFile = lockFileName;
    if (!getCfgLock()) {
        logger.logError("Could not acquire lock for cfg file.");
        return false;
    }
    const char* progName = argc > 0 && argv[0] != nullptr ? argv[0] : "statkeepctl";
    if (argc < 2) {
        logger.logError("Insufficient number of parameters!");
        help(progName);
        return false;
    }
    const std::string cmd = argv[1];
    if (cmd != ENABLE && cmd != UPDATE && cmd != DISABLE) {
        logger.logError("Unknown command line option!");
        help(progName);
        return false;
    }
    isDisable = cmd == DISABLE;
    if (isDisable) return true;
    if (argc < 5) {
        logger.logError("Insufficient number of parameters for cmd %s!", argv[1]);
        help(progName);
        return false;
    }
    nodeAttributes.clear();
    nodeNumber = argv[2];
    nodeAttributes.insert(lowerCase(argv[3]));
    config = loadConfig(argv[4], &logger);
    if (config == nullptr) return false;
    if (argc == 5) return true;
    std::vector<std::string> roles;
    split(lowerCase(argv[5]), ",", roles);
    nodeAttributes.insert(roles.begin(), roles.end());
    return true;
}

bool StatkeepCtrl::getCfgLock() {
    for (;;) {
        if (lockFD < 0) {
            // O_NONBLOCK keeps a FIFO planted at the path from blocking the
            // open; flock itself still waits.
            lockFD = ::open(lockFile.c_str(),
                            O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
            if (lockFD < 0) {
                const int err = errno;
                logger.logError("Cannot open file for locking: %s (%d)", std::strerror(err), err);
                return false;
            }
            // The lock lives in a world-writable directory: only a regular
            // file of our own is trusted to stand for it.
            struct stat st;
            int err = 0;
            if (fstat(lockFD, &st) != 0) {
                err = errno;
            } else if (!S_ISREG(st.st_mode)) {
                err = EINVAL;
            } else if (st.st_uid != geteuid()) {
                err = EPERM;
            }
            if (err != 0) {
                closeFd(lockFD);
                lockFD = -1;
                logger.logError("Cannot open file for locking: %s (%d)", std::strerror(err), err);
                return false;
            }
        }
        int rc;
        while ((rc = flock(lockFD, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            const int err = errno;
            logger.logError("Cannot lock file: %s (%d)", std::strerror(err), err);
            return false;
        }
        // The previous holder removes the file before it unlocks; a run that
        // waited on the removed file must start over on the current one.
        struct stat held, named;
        if (fstat(lockFD, &held) == 0 && ::stat(lockFile.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            lockHeld = true;
            return true;
        }
        closeFd(lockFD);
        lockFD = -1;
    }
}

void StatkeepCtrl::releaseCfgLock() {
    if (lockFD < 0) return;
    // Removing the file while still holding it means that whoever locks the
    // same file next sees it gone and reopens, so no two runs ever hold a
    // lock on the current path at the same time.
    if (lockHeld) ::unlink(lockFile.c_str());
    lockHeld = false;
    int rc;
    while ((rc = flock(lockFD, LOCK_UN)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int err = errno;
        logger.logError("Cannot unlock file: %s (%d)", std::strerror(err), err);
        return;
    }
    closeFd(lockFD);
    lockFD = -1;
}

void StatkeepCtrl::help(const char* progName) const {
    std::fprintf(stderr, "Usage: \t%s disable\n", progName);
    std::fprintf(stderr,
                 "       \t%s enable | update nodeNumber nodeName cfgFileExtractedFromPkrfs "
                 "[nodeRoles]\n",
                 progName);
    std::fprintf(stderr, "\t nodeNumber - the DRIX node ID of this node.\n");
    std::fprintf(stderr, "\t nodeName - the DRIX node name of this node.\n");
    std::fprintf(stderr,
                 "\t cfgFileExtractedFromPkrfs - path and filename of the sensors configuration "
                 "file.\n");
    std::fprintf(stderr, "\t nodeRoles - a comma-separated list of this node's node classes.\n");
    std::fflush(stderr);
}

void StatkeepCtrl::applyFilter() {
    if (config == nullptr) return;
    Cfg::ParamVec* sensors = nullptr;
    const Cfg::ParamDefStore* schema = nullptr;
    if (!config->getParamStoreVecForUpdate(Cfg::SENSORS, sensors, schema)) return;
    for (Cfg::ParamValStore* sensor : *sensors) {
        std::string restrict;
        if (!sensor->getString(Cfg::SENSRESTRICT, restrict)) continue;
        if (restrict.compare(0, 1, Cfg::SENSRESTRICTSINGLEPRE) == 0) continue;
        std::vector<std::string> pieces;
        split(lowerCase(restrict), ",", pieces);
        bool match = false;
        for (const std::string& p : pieces) match = match || nodeAttributes.count(p) != 0;
        if (!match) sensor->putInt(Cfg::SENSPERIOD, 0);
    }
}

bool StatkeepCtrl::assignCollectors() {
    ConsistentHash ring(ConsistentHash::DEFAULT_REPLICAS);
    if (config == nullptr) return false;
    const Cfg::StrVec* candidates = nullptr;
    if (!config->params.getStrVec(Cfg::COLCAND, candidates)) {
        logger.logError("No collectors defined!");
        return false;
    }
    if (candidates->front().empty()) {
        logger.logError("Collector candidate list is empty!");
        return false;
    }
    // A candidate without a host would become a collector entry with an
    // empty host, one with a port out of range would reach another port;
    // refuse the list before anything is chosen or written.
    for (const std::string& c : *candidates) {
        if (!checkCollectorCandidate(c, &logger)) return false;
    }

    uint32_t n = 2;
    int32_t redundancy;
    if (config->params.getInt(Cfg::COLREDUNDANCY, redundancy)) {
        // A negative value becomes a very large target: every candidate.
        n = static_cast<uint32_t>(redundancy);
        if (n < 1) n = 1;
    }
    // Spellings of one address count once, so the target can always be
    // reached.
    const stringSet_t distinct(candidates->begin(), candidates->end());
    stringSet_t addresses;
    for (const std::string& c : distinct) addresses.insert(addressOf(c));
    if (n > addresses.size()) n = static_cast<uint32_t>(addresses.size());

    // A candidate naming an address already chosen is passed over, as a
    // repeated string is: two connections to one collector would send it
    // every record twice.
    stringSet_t chosen, chosenAddresses;
    auto choose = [&](const std::string& c) {
        if (chosen.count(c) == 0 && chosenAddresses.insert(addressOf(c)).second) chosen.insert(c);
    };
    if (addresses.size() <= n) {
        for (const std::string& c : distinct) choose(c);
    } else {
        for (const std::string& c : *candidates) ring.addServer(c);
        // The one-byte suffix gives 256 keys: nodeNumber + '0', '1', ...,
        // wrapping through 0 (nodeNumber alone) back to '/'. What is chosen
        // after all of them is what the ring yields for this node.
        unsigned char suffix = '0';
        for (unsigned k = 0; k < 256 && chosen.size() < n; ++k, ++suffix) {
            std::string key = nodeNumber;
            if (suffix != 0) key.push_back(static_cast<char>(suffix));
            choose(ring.getServer(key));
        }
        if (chosen.size() < n) {
            logger.logWarning("Only %zu of %u collectors could be chosen for this node.",
                              chosen.size(), n);
        }
    }
    return createCollectorsConfig(chosen);
}

bool StatkeepCtrl::createCollectorsConfig(const stringSet_t& chosen) {
    if (config == nullptr || chosen.empty()) return false;
    const Cfg::ParamDef* def = config->defs.getDefByName(Cfg::COLLECTORS);
    if (def == nullptr || def->type != Cfg::ParamType::paramVec || def->paramDefMap == nullptr) {
        logger.logError("Could not find parameter definition for %s", Cfg::COLLECTORS);
        return false;
    }
    Cfg::ParamVec* stores = nullptr;
    const Cfg::ParamDefStore* schema = nullptr;
    if (!config->getParamStoreVecForUpdate(Cfg::COLLECTORS, stores, schema)) {
        // Only an edited configuration can hold no entry at all; start from
        // an empty one.
        config->params.putStore(Cfg::COLLECTORS, Cfg::ParamValStore());
        if (!config->getParamStoreVecForUpdate(Cfg::COLLECTORS, stores, schema)) return false;
    }
    while (stores->size() < chosen.size())
        stores->push_back(new Cfg::ParamValStore(*stores->front()));
    while (stores->size() > chosen.size()) {
        delete stores->back();
        stores->pop_back();
    }
    std::size_t i = 0;
    for (const std::string& server : chosen) {
        // Trimmed, with the default port where the candidate names none.
        const Cfg::CollectorAddress a = collectorCandidateAddress(server);
        Cfg::ParamValStore& entry = *(*stores)[i++];
        Cfg::Configuration::putValue(Cfg::COLHOST, a.host, entry, *schema, &logger);
        Cfg::Configuration::putValue(Cfg::COLPORT, a.port, entry, *schema, &logger);
    }
    return true;
}

bool StatkeepCtrl::hasChanged(const std::string& path) {
    // A file the rewrite would refuse is not read either; writeConfig says why.
    const PathWalk walk(path);
    if (!walk.ok() || !walk.exists()) return true;
    Cfg::Configuration* current = loadConfig(walk.dir() + "/" + walk.name(), &logger);
    if (current == nullptr) return true;
    const bool changed = config == nullptr || !(config->params == current->params);
    delete current;
    return changed;
}

void StatkeepCtrl::removeTemporaryFiles(const std::string& path) {
    const PathWalk walk(path);
    if (walk.ok()) removeLeftovers(walk.dirFd(), walk.name());
}

bool StatkeepCtrl::isRestartOwed(const std::string& path) {
    const PathWalk walk(path);
    return walk.ok() && restartOwed(walk.dirFd(), walk.name());
}

void StatkeepCtrl::restartDone(const std::string& path) {
    const PathWalk walk(path);
    if (walk.ok() && restartOwed(walk.dirFd(), walk.name()))
        ::unlinkat(walk.dirFd(), restartMarker(walk.name()).c_str(), 0);
}

// Between the walk's check and the rename or removal, only root or the caller
// can change what the name stands for: no other user controls the directory,
// and in a sticky one the file is root's or the caller's, which nobody else
// may rename or remove. A file the walk did not find is never replaced: the
// new one is linked under the name, which fails on any file created since.
bool StatkeepCtrl::writeConfig(const std::string& path) {
    std::ostringstream text;
    if (config != nullptr) Cfg::CfgFileParser::dumpCfg(text, "", config->params);

    // A link at the path stays: its target is replaced, in its own directory
    // so that the rename stays on one filesystem.
    const PathWalk walk(path);
    std::string why = walk.why();
    if (walk.ok()) {
        removeLeftovers(walk.dirFd(), walk.name());
        walked();
        if (walk.unchanged(why)) why = restartMarkRefusal(walk);
    }
    if (!why.empty()) {
        logger.logError("Could not write to file %s: %s.", path.c_str(), why.c_str());
        return false;
    }
    const int dirFd = walk.dirFd();
    const std::string& name = walk.name();

    // Replace, never truncate: a failure at any point (a full disk, an I/O
    // error) leaves the old file whole and is reported. The new file gets the
    // owner and group of the file the walk checked (a daemon may read it
    // through its group), then its mode, since a change of owner clears
    // set-id bits.
    const struct stat& old = walk.file();
    const mode_t mode = walk.exists() ? old.st_mode & 07777 : 0644;
    int err = 0;
    auto check = [&err](bool done) {
        if (!done && err == 0) err = errno != 0 ? errno : EIO;
        return done;
    };
    std::string tmp;
    errno = EINVAL;  // no configuration to write
    const int fd = config == nullptr ? -1 : createTemporary(dirFd, name, tmp);
    if (check(fd >= 0)) {
        bool ok = check(!walk.exists() || fchown(fd, old.st_uid, old.st_gid) == 0) &&
                  check(fchmod(fd, mode) == 0) && check(writeAll(fd, text.str())) &&
                  check(fsync(fd) == 0);
        ok = check(closeFd(fd) == 0) && ok;
        // The restart is owed from the moment the new file may be in place,
        // so that a run that fails to restart, or is killed first, leaves
        // the restart to the next run even though that finds nothing changed.
        ok = ok && check(markRestartOwed(dirFd, name));
        if (ok && walk.exists()) {
            ok = check(::renameat(dirFd, tmp.c_str(), dirFd, name.c_str()) == 0);
        } else if (ok) {
            ok = check(::linkat(dirFd, tmp.c_str(), dirFd, name.c_str(), 0) == 0);
        }
        if (!ok || !walk.exists()) ::unlinkat(dirFd, tmp.c_str(), 0);
    }
    if (err != 0) {
        logger.logError("Could not write to file %s: %s.", path.c_str(), std::strerror(err));
        return false;
    }
    // The new file is in place; syncing the directory makes that durable.
    // Its failure is not reported: the content has changed, and the marker
    // makes a later run restart the daemon all the same.
    const int dir = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        closeFd(dir);
    }
    return true;
}

bool StatkeepCtrl::removeConfig(const std::string& path, bool checkOnly) {
    const PathWalk walk(path);
    if (walk.nowhere()) return true;  // no file to remove
    std::string why = walk.why();
    if (walk.ok() && walk.exists()) why = removalRefusal(walk);
    if (why.empty() && walk.ok() && walk.exists() && !checkOnly) {
        walked();
        if (walk.unchanged(why) && ::unlinkat(walk.dirFd(), walk.name().c_str(), 0) != 0)
            why = std::strerror(errno);
    }
    if (why.empty()) return true;
    logger.logError("Could not remove file %s: %s.", path.c_str(), why.c_str());
    return false;
}
