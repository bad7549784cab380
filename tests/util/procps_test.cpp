// The process-table library over a fake /proc tree (VELMAR_PLATFORM_ROOT).
#include "procps.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace {

// Fields 3..13 of a stat line, then utime, stime and the rest.
std::string statLine(int pid, const std::string& comm, int utime, int stime) {
    return std::to_string(pid) + " (" + comm + ") S 1 1 1 0 -1 4194560 100 0 0 0 " +
           std::to_string(utime) + " " + std::to_string(stime) +
           " 0 0 20 0 1 0 100 1000000 200 18446744073709551615 0 0 0 0 0 0 0 0 0 0 0 0 17 0 0 0\n";
}

class FakeProc : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmar_procps_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        mkdir((root + "/proc").c_str(), 0755);
        setenv("VELMAR_PLATFORM_ROOT", root.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VELMAR_PLATFORM_ROOT");
        std::string cmd = "rm -rf '" + root + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    void task(const std::string& dir, const std::string* stat, const std::string* status) {
        std::string d = root + "/proc/" + dir;
        mkdir(d.c_str(), 0755);
        if (stat) std::ofstream(d + "/stat") << *stat;
        if (status) std::ofstream(d + "/status") << *status;
    }
    std::map<int, proc_t> scan(int flags) {
        std::map<int, proc_t> tasks;
        PROCTAB* pt = openproc(flags);
        EXPECT_NE(pt, nullptr);
        if (pt == nullptr) return tasks;
        proc_t* p = nullptr;
        while (proc_t* r = readproc(pt, p)) {
            p = r;
            tasks[p->tid] = *p;
        }
        freeproc(p);
        closeproc(pt);
        return tasks;
    }
    std::string root;
};

TEST_F(FakeProc, ReadsNameTimesAndResidentSize) {
    const std::string rss =
        "Name:\tinit\nGroups:\t1 2 3\nVmPeak:\t  9999 kB\nVmRSS:\t    1234 kB\n";
    const std::string noRss = "Name:\tkthreadd\nState:\tS (sleeping)\n";
    std::string s1 = statLine(1, "init", 5, 6);
    std::string s2 = statLine(2, "kthreadd", 0, 9);
    // A name with blanks and parentheses of its own: the last ')' closes it.
    std::string s3 = statLine(3, "a) (b", 70, 80);
    std::string s4 = statLine(4, std::string(80, 'n'), 1, 1);
    task("1", &s1, &rss);
    task("2", &s2, &noRss);
    task("3", &s3, &rss);
    task("4", &s4, &rss);

    auto tasks = scan(PROC_FILLSTAT | PROC_FILLSTATUS);
    ASSERT_EQ(tasks.size(), 4u);
    EXPECT_STREQ(tasks[1].cmd, "init");
    EXPECT_EQ(tasks[1].utime, 5u);
    EXPECT_EQ(tasks[1].stime, 6u);
    EXPECT_EQ(tasks[1].vm_rss, 1234u);
    EXPECT_EQ(tasks[2].vm_rss, 0u);
    EXPECT_EQ(tasks[2].stime, 9u);
    EXPECT_STREQ(tasks[3].cmd, "a) (b");
    EXPECT_EQ(tasks[3].utime, 70u);
    EXPECT_EQ(tasks[3].stime, 80u);
    EXPECT_EQ(std::string(tasks[4].cmd), std::string(PROC_CMD_LEN - 1, 'n'));

    // Only what the flags ask for is read.
    auto bare = scan(PROC_FILLSTAT);
    EXPECT_EQ(bare[1].vm_rss, 0u);
    EXPECT_EQ(bare[1].utime, 5u);
}

TEST_F(FakeProc, SkipsWhatIsNotAReadableTask) {
    const std::string rss = "VmRSS: 1 kB\n";
    std::string good = statLine(10, "good", 1, 2);
    std::string truncated = "11 (short) S 1 1 1\n";  // ends before utime
    std::string noParen = "12 noparen S 1 1 1 0 -1 0 0 0 0 0 1 2\n";
    std::string badNumber = "13 (bad) S 1 1 1 0 -1 0 0 0 0 0 x 2 0\n";
    std::string empty;
    task("10", &good, &rss);
    task("11", &truncated, &rss);
    task("12", &noParen, &rss);
    task("13", &badNumber, &rss);
    task("14", &empty, &rss);
    task("15", &good, nullptr);        // ended between its two files
    task("16", nullptr, nullptr);      // ended before
    task("self", &good, &rss);         // not a task directory
    task("99999999999", &good, &rss);  // beyond any task id
    task("1a", &good, &rss);

    auto tasks = scan(PROC_FILLSTAT | PROC_FILLSTATUS);
    ASSERT_EQ(tasks.size(), 1u);
    EXPECT_STREQ(tasks[10].cmd, "good");
}

TEST_F(FakeProc, RecordBufferHandling) {
    std::string s1 = statLine(1, "one", 1, 1);
    std::string s2 = statLine(2, "two", 2, 2);
    const std::string rss = "VmRSS: 1 kB\n";
    task("1", &s1, &rss);
    task("2", &s2, &rss);

    PROCTAB* pt = openproc(PROC_FILLSTAT | PROC_FILLSTATUS);
    ASSERT_NE(pt, nullptr);
    proc_t mine = {};
    int seen = 0;
    // The caller's record is filled in place; at the end it is left as it was.
    while (readproc(pt, &mine) == &mine) {
        EXPECT_EQ(mine.utime, static_cast<unsigned long long>(mine.tid));
        ++seen;
    }
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(mine.utime, static_cast<unsigned long long>(mine.tid));
    EXPECT_EQ(readproc(pt, nullptr), nullptr);
    closeproc(pt);

    closeproc(nullptr);
    freeproc(nullptr);
    EXPECT_EQ(readproc(nullptr, &mine), nullptr);
}

TEST_F(FakeProc, NoProcDirectory) {
    setenv("VELMAR_PLATFORM_ROOT", (root + "/missing").c_str(), 1);
    EXPECT_EQ(openproc(PROC_FILLSTAT), nullptr);
}

}  // namespace
