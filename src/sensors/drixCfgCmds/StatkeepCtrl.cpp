#include "StatkeepCtrl.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "CfgFileParser.h"
#include "ConsistentHash.h"
#include "ParamNames.h"
#include "SensorDefaultConfig.h"
#include "cfgUtil.h"
#include "split.h"

const char* const StatkeepCtrl::CFG_FILE = "/opt/Ostrel/velmar/VelmarSensors.cfg";
const char* const StatkeepCtrl::LOCK_FILE = "/tmp/VelmarSensors.lck";
const char* const StatkeepCtrl::ENABLE = "enable";
const char* const StatkeepCtrl::UPDATE = "update";
const char* const StatkeepCtrl::DISABLE = "disable";
const char* const StatkeepCtrl::DEFAULT_COLLECTOR_PORT = "4739";

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
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// What a candidate connects to: the default port where it names none, and a
// port number without leading zeros, so that "h", "h:" and "h:04739" are one
// collector.
std::string addressOf(const std::string& candidate) {
    const std::vector<std::string> pieces = collectorCandidatePieces(candidate);
    if (pieces.empty()) return "";
    std::string port = pieces.size() > 1 ? pieces[1] : StatkeepCtrl::DEFAULT_COLLECTOR_PORT;
    const long number = Cfg::collectorPortNumber(port);
    if (number >= 0) port = std::to_string(number);
    return pieces[0] + ":" + port;
}

// mkostemp's template: six letters or digits replace the X's.
const char TMP_SUFFIX[] = ".XXXXXX";

std::string dirOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names through any chain of symbolic links; a dangling link
// names the file it points to. The path itself when it is no link or a link
// cannot be read (the rewrite then fails or replaces the path, as before).
std::string linkTarget(const std::string& path) {
    std::string file = path;
    for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit
        struct stat st;
        if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return file;
        std::vector<char> buf(PATH_MAX);
        const ssize_t n = ::readlink(file.c_str(), buf.data(), buf.size());
        if (n <= 0 || static_cast<std::size_t>(n) == buf.size()) return path;
        const std::string target(buf.data(), static_cast<std::size_t>(n));
        file = target[0] == '/' ? target : dirOf(file) + "/" + target;
    }
    return path;
}

// Removes the temporary files ("name.XXXXXX") that runs killed while writing
// left in dir. Called with the lock held, so none of them is being written.
// Only regular files whose six characters are letters and digits go, and not
// a lower-case word such as "backup", which an operator may have made.
void removeLeftovers(const std::string& dir, const std::string& name) {
    const std::string prefix = name + ".";
    const std::size_t length = prefix.size() + std::strlen(TMP_SUFFIX) - 1;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    while (const dirent* e = ::readdir(d)) {
        const std::string entry = e->d_name;
        if (entry.size() != length || entry.compare(0, prefix.size(), prefix) != 0) continue;
        bool generated = true, word = true;
        for (std::size_t i = prefix.size(); i < entry.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(entry[i]);
            generated = generated && std::isalnum(c) != 0;
            word = word && std::islower(c) != 0;
        }
        struct stat st;
        if (generated && !word && fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            ::unlinkat(::dirfd(d), e->d_name, 0);
    }
    ::closedir(d);
}

int closeFd(int fd) {
    // Linux releases the descriptor even when close reports EINTR.
    const int rc = ::close(fd);
    return rc != 0 && errno == EINTR ? 0 : rc;
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
        std::vector<std::string> pieces = collectorCandidatePieces(server);
        if (pieces.empty()) pieces.push_back("");  // refused earlier by assignCollectors
        if (pieces.size() == 1) pieces.push_back(DEFAULT_COLLECTOR_PORT);
        Cfg::ParamValStore& entry = *(*stores)[i++];
        Cfg::Configuration::putValue(Cfg::COLHOST, pieces[0], entry, *schema, &logger);
        Cfg::Configuration::putValue(Cfg::COLPORT, pieces[1], entry, *schema, &logger);
    }
    return true;
}

bool StatkeepCtrl::hasChanged(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return true;
    Cfg::Configuration* current = loadConfig(path, &logger);
    if (current == nullptr) return true;
    const bool changed = config == nullptr || !(config->params == current->params);
    delete current;
    return changed;
}

bool StatkeepCtrl::writeConfig(const std::string& path) {
    std::ostringstream text;
    if (config != nullptr) Cfg::CfgFileParser::dumpCfg(text, "", config->params);

    // A link at the path stays: its target is replaced, in its own directory
    // so that the rename stays on one filesystem.
    const std::string file = linkTarget(path);
    const std::string dir = dirOf(file);
    removeLeftovers(dir, file.substr(file.rfind('/') + 1));

    // Replace, never truncate: a failure at any point (a full disk, an I/O
    // error) leaves the old file whole and is reported. The new file gets the
    // old one's owner and group (a daemon may read it through its group),
    // then its mode, since a change of owner clears set-id bits.
    mode_t mode = 0644;
    struct stat st;
    const bool replacing = ::stat(file.c_str(), &st) == 0;
    if (replacing) mode = st.st_mode & 07777;
    std::string tmp = file + TMP_SUFFIX;
    const int fd = config == nullptr ? -1 : mkostemp(&tmp[0], O_CLOEXEC);  // O_CREAT | O_EXCL
    bool ok = fd >= 0;
    if (ok) {
        ok = (!replacing || fchown(fd, st.st_uid, st.st_gid) == 0) && fchmod(fd, mode) == 0 &&
             writeAll(fd, text.str()) && fsync(fd) == 0;
        ok = closeFd(fd) == 0 && ok;
        ok = ok && ::rename(tmp.c_str(), file.c_str()) == 0;
        if (!ok) ::unlink(tmp.c_str());
    }
    if (!ok) {
        logger.logError("Could not write to file %s", path.c_str());
        return false;
    }
    // The new file is in place once renamed; syncing the directory makes the
    // rename durable. Its failure is not reported: the content has changed,
    // and a run that failed here would never restart the daemon later.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        closeFd(dirFd);
    }
    return true;
}
