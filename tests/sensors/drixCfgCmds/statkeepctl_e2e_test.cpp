// statkeepctl run as a program under a platform root that holds the daemon's
// configuration directory, the lock directory and a fake init script
// (tests/stubs/fake_initd.sh) which logs every call.
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include "ParamNames.h"
#include "StatkeepctlRun.h"

namespace {

using namespace StatkeepctlE2e;

TEST_F(StatkeepctlRun, FailuresBeforeAnyChangeTouchNothing) {
    const std::string prog = STATKEEPCTL, file = cluster(CLUSTER), bad = root + "/bad.cfg";
    const std::string NOT_A_PORT =
        "has a port that is neither a number from 1 to 65535 nor a service name!";
    const Strings usage = {
        "Usage: \t" + prog + " disable",
        "       \t" + prog +
            " enable | update nodeNumber nodeName cfgFileExtractedFromPkrfs [nodeRoles]",
        "\t nodeNumber - the DRIX node ID of this node.",
        "\t nodeName - the DRIX node name of this node.",
        "\t cfgFileExtractedFromPkrfs - path and filename of the sensors configuration file.",
        "\t nodeRoles - a comma-separated list of this node's node classes.",
    };
    const struct {
        const char* badText;  // written to bad.cfg; null for none
        Strings args;
        std::string message;
        bool withUsage;
    } rows[] = {
        {nullptr, {}, "Insufficient number of parameters!", true},
        {nullptr,
         {"Enable", "1", "n", file},
         "Unknown command line option!",
         true},  // case-sensitive
        {nullptr, {"enable", "1", "n"}, "Insufficient number of parameters for cmd enable!", true},
        {nullptr, {"update"}, "Insufficient number of parameters for cmd update!", true},
        {nullptr,
         {"enable", "1", "n", bad},
         "Could not open configuration file " + bad + " for reading.",
         false},
        {"colCandidates = \"c1\" {",
         {"enable", "1", "n", bad},
         "Syntax Error on or before line 1 in configuration file " + bad,
         false},
        // The built-in candidate list is one empty string.
        {"loglevel = \"info\"",
         {"enable", "1", "n", bad},
         "Collector candidate list is empty!",
         false},
        {"colCandidates = \"c1\", \":\"",
         {"enable", "1", "n", bad},
         "Collector candidate ':' has no host!",
         false},
        {"colCandidates = \"c1\", \"127.0.0.1:99999\"",
         {"enable", "1", "n", bad},
         "Collector candidate '127.0.0.1:99999' " + NOT_A_PORT,
         false},
        // The resolver would read these as numbers modulo 65536.
        {"colCandidates = \"c1\", \"h: 99695\"",
         {"enable", "1", "n", bad},
         "Collector candidate 'h: 99695' " + NOT_A_PORT,
         false},
        {"colCandidates = \"c1\", \"h:+103961\"",
         {"enable", "1", "n", bad},
         "Collector candidate 'h:+103961' " + NOT_A_PORT,
         false},
        // Several candidates belong in separate strings.
        {"colCandidates = \"10.0.0.1,10.0.0.2:4740,c\"",
         {"enable", "1", "n", bad},
         "Collector candidate '10.0.0.1,10.0.0.2:4740,c' has a host that is not a host name or "
         "address!",
         false},
    };
    for (const auto& r : rows) {
        ::unlink(bad.c_str());
        if (r.badText != nullptr) writeFile(bad, r.badText);
        const Outcome res = run(r.args);
        EXPECT_EQ(res.exitStatus, 255) << r.message;
        EXPECT_EQ(res.messages, Strings{r.message});
        EXPECT_EQ(res.usage, r.withUsage ? usage : Strings{}) << r.message;
        EXPECT_FALSE(exists(cfgFile) || exists(lockFile)) << r.message;
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(StatkeepctlRun, ALockPathThatIsNotOurRegularFileIsRefusedAndLeftAlone) {
    const std::string file = cluster(CLUSTER);
    const struct {
        int (*plant)(const std::string&);
        int err;
    } rows[] = {
        {[](const std::string& p) { return symlink("elsewhere", p.c_str()); }, ELOOP},
        {[](const std::string& p) { return mkdir(p.c_str(), 0700); }, EISDIR},
        {[](const std::string& p) { return mkfifo(p.c_str(), 0600); }, EINVAL},
        {[](const std::string& p) {  // another user's file
             writeFile(p, "");
             return chown(p.c_str(), geteuid() + 1, getegid());
         },
         EPERM},
    };
    for (const auto& r : rows) {
        if (r.err == EPERM && geteuid() != 0) continue;  // only root can plant another user's file
        ASSERT_EQ(r.plant(lockFile), 0);
        const Outcome res = run({"enable", "1", "node1", file});
        EXPECT_EQ(res.exitStatus, 255);
        EXPECT_EQ(res.messages,
                  (Strings{"Cannot open file for locking: " + std::string(strerror(r.err)) + " (" +
                               std::to_string(r.err) + ")",
                           "Could not acquire lock for cfg file."}));
        EXPECT_TRUE(exists(lockFile)) << r.err;  // not ours to remove
        EXPECT_FALSE(exists(cfgFile));
        ASSERT_EQ(std::system(("rm -rf " + lockFile).c_str()), 0);
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(StatkeepctlRun, DisableStopsAndRemovesTheFileWhateverTheStopDid) {
    for (const char* rc : {"0", "3"}) {
        writeFile(script + ".rc", rc);
        writeFile(cfgFile, CLUSTER);
        const Outcome res = run({"disable", "extra", "words"});
        EXPECT_EQ(res.exitStatus, rc[0] == '0' ? 0 : 255);
        // rc is the raw system() status.
        EXPECT_EQ(res.messages,
                  rc[0] == '0' ? Strings{} : Strings{"could not stop cvxsensors (rc=768)"});
        EXPECT_FALSE(exists(cfgFile) || exists(lockFile));
    }
    // No directory: nothing to remove.
    ASSERT_EQ(std::system(("rm -rf " + root + "/opt/Ostrel").c_str()), 0);
    ::unlink((script + ".rc").c_str());
    EXPECT_EQ(run({"disable"}).exitStatus, 0);
    EXPECT_EQ(actions(), (Strings{"stop", "stop", "stop"}));
}

TEST_F(StatkeepctlRun, EnableWritesAndRestartsOnlyWhenTheContentChanged) {
    const std::string file = cluster(CLUSTER);
    EXPECT_EQ(run({"enable", "1", "node1", file}).messages, Strings{});
    struct stat first, now;
    ASSERT_EQ(stat(cfgFile.c_str(), &first), 0);
    EXPECT_EQ(first.st_mode & 07777, 0644u);
    EXPECT_EQ(written(Cfg::COLLECTORS, Cfg::COLHOST, Cfg::COLPORT),
              (Strings{"c1:4739", "c2:9085"}));

    // The same inputs: nothing written, nothing restarted.
    EXPECT_EQ(run({"update", "1", "node1", file}).exitStatus, 0);
    ASSERT_EQ(stat(cfgFile.c_str(), &now), 0);
    EXPECT_TRUE(now.st_ino == first.st_ino && now.st_mtim.tv_sec == first.st_mtim.tv_sec &&
                now.st_mtim.tv_nsec == first.st_mtim.tv_nsec);
    EXPECT_EQ(actions(), Strings{"restart"});

    // Another choice replaces the file and keeps its mode; an unparsable
    // current file counts as changed.
    ASSERT_EQ(chmod(cfgFile.c_str(), 0640), 0);
    EXPECT_EQ(
        run({"enable", "1", "node1", cluster("colCandidates = \"c9\"", "/c9.cfg")}).exitStatus, 0);
    ASSERT_EQ(stat(cfgFile.c_str(), &now), 0);
    EXPECT_TRUE(now.st_ino != first.st_ino && (now.st_mode & 07777) == 0640);
    EXPECT_EQ(written(Cfg::COLLECTORS, Cfg::COLHOST, Cfg::COLPORT), Strings{"c9:4739"});
    writeFile(cfgFile, "garbage {");
    EXPECT_EQ(run({"enable", "1", "node1", file}).exitStatus, 0);

    writeFile(script + ".rc", "2");
    ::unlink(cfgFile.c_str());
    const Outcome failed = run({"enable", "1", "node1", file});
    EXPECT_EQ(failed.exitStatus, 255);
    EXPECT_EQ(failed.messages, Strings{"could not restart cvxsensors (rc=2)"});
    EXPECT_EQ(written(Cfg::COLLECTORS, Cfg::COLHOST, Cfg::COLPORT),
              (Strings{"c1:4739", "c2:9085"}));
    EXPECT_EQ(actions(), (Strings{"restart", "restart", "restart", "restart"}));
    EXPECT_FALSE(exists(lockFile));
}

TEST_F(StatkeepctlRun, TheRewriteKeepsLinkOwnerGroupAndModeAndClearsKilledRunsFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give a file another owner";
    const std::string file = cluster(CLUSTER), etc = root + "/etc/velmar";
    ASSERT_TRUE(StubHarness::makeDirs(etc));
    const struct {
        std::string link;  // what the configuration path links to; empty: no link
        std::string dir;   // where the file itself is
        mode_t linkDirMode = 0755;
    } rows[] = {
        {"", root + "/opt/Ostrel/velmar"},
        {"../../../etc/velmar/VelmarSensors.cfg", etc},
        {etc + "/VelmarSensors.cfg", etc},
        // The caller's own link in a sticky world-writable directory.
        {etc + "/VelmarSensors.cfg", etc, 01777},
    };
    for (const auto& r : rows) {
        const std::string real = r.dir + "/VelmarSensors.cfg";
        ASSERT_EQ(chmod((root + "/opt/Ostrel/velmar").c_str(), r.linkDirMode), 0);
        ::unlink(cfgFile.c_str());
        writeFile(real, "old");
        ASSERT_EQ(chown(real.c_str(), 12345, 23456), 0);
        ASSERT_EQ(chmod(real.c_str(), 0640), 0);
        if (!r.link.empty()) {
            ASSERT_EQ(symlink(r.link.c_str(), cfgFile.c_str()), 0);
        }
        // A temporary file of a run killed while writing; the others are not.
        writeFile(r.dir + "/" + TMP_FILE, "");
        for (const char* f : {".Ab3xZ9", ".ab3xz", ".backup"}) {
            writeFile(r.dir + "/VelmarSensors.cfg" + f, "");
        }
        ASSERT_EQ(run({"enable", "1", "node1", file}).exitStatus, 0) << r.link;
        struct stat st;
        ASSERT_EQ(lstat(cfgFile.c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), !r.link.empty()) << r.link;
        ASSERT_EQ(stat(real.c_str(), &st), 0);
        EXPECT_TRUE(st.st_uid == 12345 && st.st_gid == 23456 && (st.st_mode & 07777) == 0640)
            << r.link;
        EXPECT_EQ(written(Cfg::COLLECTORS, Cfg::COLHOST, Cfg::COLPORT),
                  (Strings{"c1:4739", "c2:9085"}));
        EXPECT_FALSE(exists(r.dir + "/" + TMP_FILE)) << r.link;
        for (const char* f : {".Ab3xZ9", ".ab3xz", ".backup"}) EXPECT_TRUE(exists(real + f)) << f;
    }
}

TEST_F(StatkeepctlRun, SensorsAreFilteredByNodeNameAndRoles) {
    const std::string file =
        cluster(std::string(CLUSTER) +
                "sensors = { name = \"CPU\" period = 1 restrict = \"B, c\" },\n"
                "  { name = \"Load\" period = 2 restrict = \" a\" },\n"
                "  { name = \"Memory\" period = 3 restrict = \"@nobody\" },\n"
                "  { name = \"Network\" period = 4 restrict = \"\" },\n"
                "  { name = \"Disk\" period = 5 restrict = \"x,NODE1\" },\n"
                "  { name = \"Netstat\" period = 6 restrict = \"a\" },\n"
                "  { name = \"TopProc\" period = 7 }\n");
    ASSERT_EQ(run({"enable", "1", "Node1", file, "A,,b,", "ignored"}).exitStatus, 0);
    EXPECT_EQ(
        written(Cfg::SENSORS, Cfg::SENSNAME, Cfg::SENSPERIOD),
        (Strings{"CPU:1", "Load:0", "Memory:3", "Network:0", "Disk:5", "Netstat:6", "TopProc:7"}));
}

TEST_F(StatkeepctlRun, RunsStartedTogetherTakeTurnsAndTheScriptNeverHoldsTheLock) {
    writeFile(script + ".sleep", "0.3");
    std::vector<pid_t> pids;
    for (const std::string n : {"0", "1", "2"}) {
        const std::string file = cluster("colCandidates = \"c" + n + "\"", "/c" + n + ".cfg");
        pids.push_back(StubHarness::startTool(argv({"enable", n, "node", file}), root + "/out" + n,
                                              root + "/err" + n));
    }
    for (pid_t p : pids) EXPECT_EQ(StubHarness::waitTool(p), 0);
    double previousEnd = 0;
    ASSERT_EQ(calls().size(), 3u);
    for (const std::string& call : calls()) {
        std::istringstream in(call);
        std::string action;
        double start = 0, end = 0;
        in >> action >> start >> end;
        EXPECT_LE(previousEnd, start) << "restarts overlap";
        previousEnd = end;
        EXPECT_EQ(call.find("VelmarSensors.lck"), std::string::npos) << call;
    }
    EXPECT_FALSE(exists(lockFile));
}

TEST_F(StatkeepctlRun, AFailedWriteSaysWhyKeepsTheOldFileAndDoesNotRestart) {
    const std::string velmar = root + "/opt/Ostrel/velmar", file = cluster(CLUSTER),
                      mark = velmar + "/" + RESTART_MARK;
    const struct {
        bool nobody;
        Strings prefix;
        std::string why;
        bool othersMark = false;
    } rows[] = {
        // A 512-byte file size limit stands for a full disk: the write fails
        // part-way with EFBIG, also where the limit's signal is not ignored.
        {false,
         {"/bin/sh", "-c", "trap '' XFSZ; ulimit -S -f 1; exec \"$@\"", "sh"},
         strerror(EFBIG)},
        {false, {"/bin/sh", "-c", "ulimit -S -f 1; exec \"$@\"", "sh"}, strerror(EFBIG)},
        // The user's own file in a directory only root may write.
        {true, {}, strerror(EACCES)},
        // Another user's mark of an owed restart in a sticky directory anyone
        // may write: not ours to reuse or remove.
        {false, {}, mark + " belongs to another user in a directory others can write", true},
    };
    for (const auto& r : rows) {
        if ((r.nobody || r.othersMark) && geteuid() != 0) continue;
        if (r.othersMark) {
            ASSERT_EQ(chmod(velmar.c_str(), 01777), 0);
            writeFile(mark, "");
            ASSERT_EQ(chown(mark.c_str(), NOBODY, NOBODY), 0);
        }
        writeFile(cfgFile, CLUSTER);
        ASSERT_EQ(chown(cfgFile.c_str(), r.nobody ? NOBODY : 0, 0), 0);
        const Outcome res = run({"enable", "1", "node1", file}, r.nobody ? asNobody() : r.prefix);
        EXPECT_EQ(res.exitStatus, 255);
        EXPECT_EQ(res.messages, Strings{"Could not write to file " + cfgFile + ": " + r.why + "."});
        EXPECT_EQ(readFile(cfgFile), CLUSTER);
        // No temporary file left behind.
        EXPECT_EQ(entries(velmar), r.othersMark ? (Strings{RESTART_MARK, "VelmarSensors.cfg"})
                                                : Strings{"VelmarSensors.cfg"});
    }
    EXPECT_TRUE(calls().empty());
    if (geteuid() != 0) GTEST_SKIP() << "not root; the rows of another user's files not run";
}

// A run as an ordinary user needs only search permission on the way to its
// own tree: a root-owned 0711 directory above it is no obstacle.
TEST_F(StatkeepctlRun, ANonRootRunReachesItsTreeThroughADirectoryItMayOnlySearch) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can run the tool as another user";
    const std::string file = cluster(CLUSTER);
    const Strings nobody = asNobody();
    ASSERT_EQ(chmod((root + "/opt").c_str(), 0711), 0);
    for (const char* d : {"/opt/Ostrel", "/opt/Ostrel/velmar"})
        ASSERT_EQ(chown((root + d).c_str(), NOBODY, NOBODY), 0);
    for (const char* command : {"enable", "disable"}) {
        const Outcome res = run({command, "1", "node1", file}, nobody);
        EXPECT_EQ(res.exitStatus, 0) << command;
        EXPECT_EQ(res.messages, Strings{}) << command;
        struct stat st;
        EXPECT_EQ(lstat(cfgFile.c_str(), &st) == 0 && st.st_uid == NOBODY,
                  command == std::string("enable"));
    }
    EXPECT_EQ(actions(), (Strings{"restart", "stop"}));
}

// What the configuration path leads to that the rewrite must not replace: a
// special file, or a name that another user controls. Each is refused before
// anything changes on disk, and the daemon is not restarted; disable refuses
// the same and stops nothing.
TEST_F(StatkeepctlRun, TheRewriteAndDisableRefuseWhatTheyMustNotReplace) {
    const std::string file = cluster(CLUSTER), velmar = root + "/opt/Ostrel/velmar",
                      scratch = root + "/scratch", pub = scratch + "/pub";
    // READ_ONLY: a regular file whose directory is mounted read-only for the run.
    // IMMUTABLE, APPEND_ONLY: a regular file with that attribute (chattr),
    // DIR_APPEND_ONLY: one in a directory with it; disable alone is run.
    enum Kind {
        FIFO,
        DEVICE,
        SOCKET,
        DIRECTORY,
        REGULAR,
        READ_ONLY,
        IMMUTABLE,
        APPEND_ONLY,
        DIR_APPEND_ONLY
    };
    const struct {
        const char* why;
        Kind kind;
        std::string target;  // what to plant; the configuration path links to it
        std::string reason;  // why the tool refuses
        bool rootOnly = false;
        mode_t targetDirMode = 0755;
        bool othersTarget = false;
        bool othersLink = false;
        mode_t linkDirMode = 0755;
        std::string linkTo = {};  // what the configuration path links to, when not the target
        bool othersWay = false;   // sticky/way: another user's link to pub
        bool othersTargetDir = false;
        bool dirLink = false;            // the configuration directory links to the target's
        std::string disableReason = {};  // when disable says otherwise than enable
    } rows[] = {
        {"a link to a FIFO", FIFO, scratch + "/fifo", scratch + "/fifo is not a regular file"},
        {"a link to a device", DEVICE, scratch + "/null", scratch + "/null is not a regular file",
         true},
        {"a link to a socket", SOCKET, scratch + "/sock", scratch + "/sock is not a regular file"},
        {"a link to a directory, with an operator's file beside it", DIRECTORY, scratch + "/cfgdir",
         scratch + "/cfgdir is not a regular file"},
        {"a FIFO at the path itself", FIFO, cfgFile, cfgFile + " is not a regular file"},
        {"another user's link in a sticky world-writable directory", REGULAR, scratch + "/secret",
         cfgFile + " belongs to another user in a directory others can write", true, 0755, false,
         true, 01777},
        {"another user's file in a sticky world-writable directory", REGULAR,
         pub + "/VelmarSensors.cfg",
         pub + "/VelmarSensors.cfg belongs to another user in a directory others can write", true,
         01777, true},
        {"a directory anyone can write, without the sticky bit", REGULAR,
         pub + "/VelmarSensors.cfg", "directory " + pub + " can be written by others", false, 0777},
        // The file's directory as the link names it; the kernel would say ENOTDIR.
        {"a link to a directory with a trailing slash", DIRECTORY, scratch + "/cfgdir",
         scratch + "/cfgdir is not a regular file", false, 0755, false, false, 0755,
         scratch + "/cfgdir/"},
        {"a link to a file with a trailing slash", REGULAR, pub + "/VelmarSensors.cfg",
         pub + "/VelmarSensors.cfg is not a directory", false, 0755, false, false, 0755,
         pub + "/VelmarSensors.cfg/"},
        {"another user's link on the way, in a sticky world-writable directory", REGULAR,
         pub + "/VelmarSensors.cfg",
         scratch + "/sticky/way belongs to another user in a directory others can write", true,
         0755, false, false, 0755, scratch + "/sticky/way/VelmarSensors.cfg", true},
        {"another user's file in another user's directory", REGULAR, pub + "/VelmarSensors.cfg",
         "directory " + pub + " belongs to another user", true, 0755, true, false, 0755, "", false,
         true},
        {"the configuration directory linked to another user's directory", REGULAR,
         pub + "/VelmarSensors.cfg", "directory " + pub + " belongs to another user", true, 0755,
         true, false, 0755, "", false, true, true},
        // Stopping the daemon and then keeping the file would start it again at the next boot.
        {"a link to a file on a read-only filesystem", READ_ONLY, pub + "/VelmarSensors.cfg",
         strerror(EROFS), true, 0755, false, false, 0755, "", false, false, false,
         pub + "/VelmarSensors.cfg cannot be removed: " + strerror(EROFS)},
        // What unlink would refuse only after the stop; only root may set these.
        {"an immutable file", IMMUTABLE, pub + "/VelmarSensors.cfg",
         pub + "/VelmarSensors.cfg cannot be removed: it is immutable", true},
        {"an append-only file", APPEND_ONLY, pub + "/VelmarSensors.cfg",
         pub + "/VelmarSensors.cfg cannot be removed: it is append-only", true},
        {"a file in an append-only directory", DIR_APPEND_ONLY, pub + "/VelmarSensors.cfg",
         pub + "/VelmarSensors.cfg cannot be removed: directory " + pub + " is append-only", true},
    };
    Strings notRun;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        if ((r.rootOnly && geteuid() != 0) ||  // only root makes devices and gives files away
            (r.kind == READ_ONLY && std::system("/usr/bin/unshare --mount true 2>/dev/null"))) {
            notRun.push_back(r.why);
            continue;
        }
        ASSERT_EQ(std::system(("rm -rf " + scratch + " " + velmar).c_str()), 0);
        ASSERT_EQ(mkdir(velmar.c_str(), r.linkDirMode), 0);
        ASSERT_EQ(chmod(velmar.c_str(), r.linkDirMode), 0);
        ASSERT_TRUE(StubHarness::makeDirs(pub));
        ASSERT_EQ(chmod(pub.c_str(), r.targetDirMode), 0);
        writeFile(scratch + "/cfgdir.ABC123", "an operator's");
        switch (r.kind) {
            case FIFO:
                ASSERT_EQ(mkfifo(r.target.c_str(), 0666), 0);
                break;
            case DEVICE:
                ASSERT_EQ(mknod(r.target.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
                break;
            case SOCKET: {
                const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                sockaddr_un sun = {};
                sun.sun_family = AF_UNIX;
                std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s", r.target.c_str());
                ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
                close(fd);
                break;
            }
            case DIRECTORY:
                ASSERT_EQ(mkdir(r.target.c_str(), 0755), 0);
                break;
            case REGULAR:
            case READ_ONLY:
            case IMMUTABLE:
            case APPEND_ONLY:
            case DIR_APPEND_ONLY:
                writeFile(r.target, "loglevel = \"info\" # precious\n");
                ASSERT_EQ(chmod(r.target.c_str(), r.othersTarget ? 0666 : 0600), 0);
                if (r.othersTarget) {
                    ASSERT_EQ(chown(r.target.c_str(), NOBODY, NOBODY), 0);
                }
                break;
        }
        if (r.dirLink) {
            ASSERT_EQ(rmdir(velmar.c_str()), 0);
            ASSERT_EQ(symlink(pub.c_str(), velmar.c_str()), 0);
        } else if (r.target != cfgFile) {
            ASSERT_EQ(symlink((r.linkTo.empty() ? r.target : r.linkTo).c_str(), cfgFile.c_str()),
                      0);
        }
        if (r.othersWay) {
            const std::string sticky = scratch + "/sticky";
            ASSERT_EQ(mkdir(sticky.c_str(), 0755), 0);
            ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
            ASSERT_EQ(symlink(pub.c_str(), (sticky + "/way").c_str()), 0);
            ASSERT_EQ(lchown((sticky + "/way").c_str(), NOBODY, NOBODY), 0);
        }
        if (r.othersTargetDir) {
            ASSERT_EQ(chown(pub.c_str(), NOBODY, NOBODY), 0);
        }
        if (r.othersLink) {
            ASSERT_EQ(lchown(cfgFile.c_str(), NOBODY, NOBODY), 0);
        }
        const bool flagged = r.kind >= IMMUTABLE;
        // Taken off again whatever the row's outcome, or nothing could remove the files.
        struct Unflag {
            std::string paths;
            ~Unflag() {
                if (!paths.empty() &&
                    std::system(("chattr -ia " + paths + " 2>/dev/null").c_str())) {
                }
            }
        } unflag;
        if (flagged) {
            unflag.paths = pub + " " + r.target;
            const std::string set = r.kind == IMMUTABLE ? "+i " : "+a ";
            if (std::system(("chattr " + set + (r.kind == DIR_APPEND_ONLY ? pub : r.target) +
                             " 2>/dev/null")
                                .c_str()) != 0) {
                notRun.push_back(std::string(r.why) + " (chattr failed: a file system without it)");
                continue;
            }
        }
        struct stat before, after;
        ASSERT_EQ(lstat(r.target.c_str(), &before), 0);
        const Strings velmarBefore = entries(velmar), scratchBefore = entries(scratch),
                      pubBefore = entries(pub);

        // The mount lives in the run's own namespace (unshare makes it private) and ends with it.
        const std::string mountRo =
            "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" \"$0\" && exec \"$@\"";
        const Strings readOnly = {"/usr/bin/unshare", "--mount", "/bin/sh", "-c", mountRo, pub};
        for (const char* command : {"enable", "disable"}) {
            const bool disable = command[0] == 'd';
            if (flagged && !disable) continue;
            const Outcome res =
                run({command, "1", "node1", file}, r.kind == READ_ONLY ? readOnly : Strings{});
            EXPECT_EQ(res.exitStatus, 255);
            EXPECT_EQ(
                res.messages,
                Strings{
                    std::string(disable ? "Could not remove file " : "Could not write to file ") +
                    cfgFile + ": " +
                    (disable && !r.disableReason.empty() ? r.disableReason : r.reason) + "."});
            ASSERT_EQ(lstat(r.target.c_str(), &after), 0);
            EXPECT_TRUE(after.st_ino == before.st_ino && after.st_mode == before.st_mode &&
                        after.st_uid == before.st_uid);
            if (r.kind == REGULAR || r.kind == READ_ONLY || flagged) {
                EXPECT_EQ(readFile(r.target), "loglevel = \"info\" # precious\n");
            }
            if (r.kind == DIRECTORY) {
                EXPECT_EQ(entries(r.target), Strings{});
            }
            EXPECT_EQ(entries(velmar), velmarBefore);
            EXPECT_EQ(entries(scratch), scratchBefore);
            EXPECT_EQ(entries(pub), pubBefore);
        }
    }
    ASSERT_EQ(std::system(("rm -rf " + velmar + " && mkdir " + velmar).c_str()), 0);
    EXPECT_TRUE(calls().empty());
    if (!notRun.empty())
        GTEST_SKIP() << "not root or no mounts; rows not run: " << testing::PrintToString(notRun);
}

// Only the tool's own temporary files go, also in a run that writes nothing:
// operator files of any spelling stay, and so do names of the tool's form
// that are not regular files or not the caller's.
TEST_F(StatkeepctlRun, OnlyTheToolsOwnLeftoversAreRemovedAlsoWhenNothingChanged) {
    const std::string file = cluster(CLUSTER), velmar = root + "/opt/Ostrel/velmar";
    ASSERT_EQ(run({"enable", "1", "node1", file}).exitStatus, 0);
    const std::string form = velmar + "/.VelmarSensors.cfg.statkeepctl-";
    Strings stay;
    for (const char* suffix : {".240101", ".orig01", ".BACKUP", ".Backup", ".ABC123", ".Ab3xZ9"}) {
        stay.push_back(velmar + "/VelmarSensors.cfg" + suffix);
        writeFile(stay.back(), "an operator's");
    }
    for (const char* tail : {"ABC12", "AB_C12", "ABC1234"}) {  // not of the exact form
        stay.push_back(form + tail);
        writeFile(stay.back(), "");
    }
    stay.push_back(velmar + "/VelmarSensors.cfg.statkeepctl-ABC123");  // not hidden
    writeFile(stay.back(), "");
    stay.push_back(form + "Dir123");
    ASSERT_EQ(mkdir(stay.back().c_str(), 0700), 0);
    stay.push_back(form + "Fifo12");
    ASSERT_EQ(mkfifo(stay.back().c_str(), 0600), 0);
    stay.push_back(form + "Link12");
    ASSERT_EQ(symlink("VelmarSensors.cfg", stay.back().c_str()), 0);
    if (geteuid() == 0) {
        stay.push_back(form + "Other1");  // another user's
        writeFile(stay.back(), "");
        ASSERT_EQ(chown(stay.back().c_str(), 65534, 65534), 0);
    }
    writeFile(velmar + "/" + TMP_FILE, "half a configuration");

    const Outcome res = run({"update", "1", "node1", file});
    EXPECT_EQ(res.exitStatus, 0);
    EXPECT_EQ(res.messages, Strings{});
    EXPECT_EQ(actions(), Strings{"restart"});  // nothing changed since the first run
    EXPECT_FALSE(exists(velmar + "/" + TMP_FILE));
    for (const std::string& f : stay) EXPECT_TRUE(exists(f)) << f;
    if (geteuid() != 0)
        GTEST_SKIP() << "not root; another user's file of the tool's form not tried";
}

TEST_F(StatkeepctlRun, AFailedRestartIsRetriedByLaterRunsUntilOneSucceeds) {
    const std::string file = cluster(CLUSTER), velmar = root + "/opt/Ostrel/velmar";
    writeFile(script + ".rc", "3");
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Outcome failed = run({"enable", "1", "node1", file});
        EXPECT_EQ(failed.exitStatus, 255) << attempt;
        // The script's exit status, not the wait status 768.
        EXPECT_EQ(failed.messages, Strings{"could not restart cvxsensors (rc=3)"}) << attempt;
        EXPECT_EQ(written(Cfg::COLLECTORS, Cfg::COLHOST, Cfg::COLPORT),
                  (Strings{"c1:4739", "c2:9085"}));
    }
    ::unlink((script + ".rc").c_str());
    EXPECT_EQ(run({"enable", "1", "node1", file}).exitStatus, 0);
    EXPECT_FALSE(exists(velmar + "/" + RESTART_MARK));
    EXPECT_EQ(run({"enable", "1", "node1", file}).exitStatus, 0);  // nothing owed any more
    EXPECT_EQ(actions(), (Strings{"restart", "restart", "restart"}));
}

}  // namespace
