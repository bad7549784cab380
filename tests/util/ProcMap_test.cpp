// The process table through the project's own process-table library, found
// through this test's RUNPATH, against the real /proc of this host and child
// processes the test starts and renames itself.
#include "ProcMap.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/times.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A child process that renames itself and waits to be killed.
class NamedChild {
  public:
    explicit NamedChild(const std::string& name) {
        int p[2];
        if (pipe(p) != 0) return;
        pid = fork();
        if (pid == 0) {
            // Only async-signal-safe calls in the child.
            prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
            char c = 'r';
            if (write(p[1], &c, 1) != 1) _exit(1);
            for (;;) pause();
        }
        close(p[1]);
        char c;
        ready = pid > 0 && read(p[0], &c, 1) == 1;
        close(p[0]);
    }
    ~NamedChild() { stop(); }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    pid_t pid = -1;
    bool ready = false;
};

std::string name(int tid, const char* cmd) {
    char out[16];
    std::memset(out, 'X', sizeof out);
    makeProcName(tid, cmd, out);
    return out;
}

TEST(ProcMap, PrintableNameRules) {
    struct Row {
        const char* cmd;
        const char* expected;
    } rows[] = {
        {"bash", "bash"},
        {"sh", "1234_sh"},
        {"x", "1234_x"},
        {"x ", "1234_x "},
        {"", "1234"},              // empty
        {" ", "1234"},             // a lone blank
        {"a\tb", "1234"},          // tab is outside the allowed set
        {"\xE9t\xE9", "1234"},     // non-ASCII bytes
        {"a=b", "1234"},           // '=' is outside the allowed set
        {"(sd-pam)", "(sd-pam)"},  // parentheses, minus
        {"kworker/0:1H", "kworker/0:1H"},
        {"a.b+c@d#e f_g", "a.b+c@d#e f_g"},
        {"abcdefghijklmnopqrst", "abcdefghijklmn"},  // cut to 14
        {"abcdefghijklmn", "abcdefghijklmn"},
    };
    for (const Row& r : rows) EXPECT_EQ(name(1234, r.cmd), r.expected) << "cmd '" << r.cmd << "'";
    // The id prefix is cut as well.
    EXPECT_EQ(name(2147483647, "ab"), "2147483647_ab");
    EXPECT_EQ(name(-2147483647 - 1, "ab"), "-2147483648_ab");
}

TEST(ProcMap, LoadsRenamedChildrenAndItself) {
    ASSERT_EQ(initProcMap(), 0);
    ASSERT_EQ(initProcMap(), 0);

    NamedChild bash("bash"), sh("sh"), x("x"), tab("tab\tname"), latin("\xE9t\xE9"),
        longName("abcdefghijklmnopqrst");
    for (NamedChild* c : {&bash, &sh, &x, &tab, &latin, &longName}) ASSERT_TRUE(c->ready);

    // Burn some CPU so that our own times are measurable in clock ticks.
    volatile unsigned long spin = 0;
    clock_t start = clock();
    while (clock() - start < CLOCKS_PER_SEC / 5) ++spin;

    procInfoMap_t map;
    timeval before, now = {0, 0}, after;
    gettimeofday(&before, nullptr);
    ASSERT_EQ(loadProcMap(map, now), 0);
    gettimeofday(&after, nullptr);
    EXPECT_TRUE(timercmp(&before, &now, <=) && timercmp(&now, &after, <=));

    auto cmdOf = [&](pid_t pid) -> std::string {
        auto it = map.find(pid);
        return it == map.end() ? "<missing>" : it->second.cmd;
    };
    EXPECT_EQ(cmdOf(bash.pid), "bash");
    EXPECT_EQ(cmdOf(sh.pid), std::to_string(sh.pid) + "_sh");
    EXPECT_EQ(cmdOf(x.pid), std::to_string(x.pid) + "_x");
    EXPECT_EQ(cmdOf(tab.pid), std::to_string(tab.pid));
    EXPECT_EQ(cmdOf(latin.pid), std::to_string(latin.pid));
    // The kernel keeps 15 characters of a name; we keep 14.
    EXPECT_EQ(cmdOf(longName.pid), "abcdefghijklmn");

    auto self = map.find(getpid());
    ASSERT_NE(self, map.end());
    EXPECT_EQ(self->second.tid, getpid());
    tms t;
    times(&t);
    EXPECT_GE(self->second.utime + self->second.stime, 1u);
    EXPECT_NEAR(static_cast<double>(self->second.utime), static_cast<double>(t.tms_utime), 5);
    EXPECT_NEAR(static_cast<double>(self->second.stime), static_cast<double>(t.tms_stime), 5);
    EXPECT_GT(self->second.vmRss, 100u);
    EXPECT_LT(self->second.vmRss, 64u * 1024 * 1024);
    EXPECT_EQ(map.count(1), 1u);
}

TEST(ProcMap, ScansAddToTheMapWithoutEmptyingIt) {
    ASSERT_EQ(initProcMap(), 0);
    NamedChild gone("goneSoon");
    ASSERT_TRUE(gone.ready);
    procInfoMap_t map;
    timeval now;
    ASSERT_EQ(loadProcMap(map, now), 0);
    const pid_t pid = gone.pid;
    ASSERT_EQ(map.count(pid), 1u);
    gone.stop();

    procInfoMap_t fresh;
    ASSERT_EQ(loadProcMap(fresh, now), 0);
    ASSERT_EQ(loadProcMap(map, now), 0);
    EXPECT_EQ(fresh.count(pid), 0u);
    EXPECT_EQ(map.count(pid), 1u);
    EXPECT_STREQ(map[pid].cmd, "goneSoon");
}

class TempCwd : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmar_procmap_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_NE(getcwd(oldCwd, sizeof oldCwd), nullptr);
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(oldCwd), 0);
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    std::vector<std::string> list(const std::string& d) {
        std::vector<std::string> names;
        DIR* dp = opendir(d.c_str());
        if (dp == nullptr) return names;
        while (dirent* e = readdir(dp)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        }
        closedir(dp);
        return names;
    }
    std::string dir;
    char oldCwd[4096];
};

std::string hourDir(time_t t) {
    tm tmBuf;
    localtime_r(&t, &tmBuf);
    char buf[32];
    strftime(buf, sizeof buf, "%y-%m-%d-%H", &tmBuf);
    return buf;
}

TEST_F(TempCwd, DumpWritesOneLinePerTaskInAnHourlyDirectory) {
    procInfoMap_t map;
    map[42] = procInfo_t{42, "42_sh", 7, 8, 900};
    map[3] = procInfo_t{3, "init thing", 1, 2, 3};
    time_t before = time(nullptr);
    dumpProcMap(map);
    time_t after = time(nullptr);

    std::vector<std::string> dirs = list(".");
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_TRUE(dirs[0] == hourDir(before) || dirs[0] == hourDir(after)) << dirs[0];
    std::vector<std::string> files = list(dirs[0]);
    ASSERT_EQ(files.size(), 1u);
    long long stamp = std::atoll(files[0].c_str());
    EXPECT_TRUE(stamp >= before && stamp <= after) << files[0];

    std::ifstream in(dirs[0] + "/" + files[0]);
    std::stringstream content;
    content << in.rdbuf();
    // Ascending by task id, each line ending in a blank.
    EXPECT_EQ(content.str(), "3 init thing 1 2 3 \n42 42_sh 7 8 900 \n");

    // A second dump within the hour uses the same directory.
    dumpProcMap(procInfoMap_t());
    EXPECT_EQ(list(".").size(), 1u);
}

}  // namespace
