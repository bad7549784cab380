#include "DRIXCapParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef DRIXCapParser::Lines Lines;
typedef DRIXCapParser::Row Row;

const std::string NO_HEADER =
    " (Error: no header defined so far, response must be an error string)";
const std::string NO_DELIM = " (Error: response without expected \":\" delimiter format)";

TEST(DRIXCapParser, ParseCmdInputTable) {
    const Row earlier{{"kept", "1"}};
    const struct {
        const char* what;
        Lines input;
        std::vector<Row> rows;  // appended after `earlier`; empty with an error
        std::string error;
    } cases[] = {
        {"example",
         {"t:r:HEADER:a:b:\n", "t:r:0:x:y:\n", "q:r:0:x:y:\n"},
         {{{"t", "t"}, {"r", "r"}, {"HEADER", "0"}, {"a", "x"}, {"b", "y"}}},
         ""},
        {"empty reply", {}, {}, ""},
        // Four fields under a five-column header.
        {"length",
         {"t:r:HEADER:a:b:\n", "t:r:0:x:\n"},
         {},
         "t:r:0:x: (Error: 0, length of data does not match header size)"},
        // Two fields: the line alone.
        {"length two fields", {"t:r:HEADER:a:b:\n", "t:r\n"}, {}, "t:r"},
        // A tool message instead of a listing.
        {"no header", {"mmm: no such fs\n"}, {}, "mmm: no such fs" + NO_HEADER},
        {"empty line before header", {"\n"}, {}, NO_HEADER},
        // An empty line once a header is known has no key.
        {"empty line after header", {"t:r:HEADER:a:\n", "\n"}, {}, NO_DELIM},
        // No colon at all: cannot form a key.
        {"no delimiter", {"t:r:HEADER:a:\n", "garbage\n"}, {}, "garbage" + NO_DELIM},
        // A header mark without a key is rejected, never indexed past.
        {"short header line", {"HEADER\n"}, {}, "HEADER" + NO_DELIM},
        {"report forgets headers",
         {"t:r:HEADER:a:\n", "*** Report 2\n", "t:r:0:x:\n"},
         {},
         "t:r:0:x:" + NO_HEADER},
        {"report then new header",
         {"t:r:HEADER:a:\n", "*** Report 2\n", "t:r:HEADER:b:\n", "t:r:0:x:\n"},
         {{{"t", "t"}, {"r", "r"}, {"HEADER", "0"}, {"b", "x"}}},
         ""},
        // A value that holds the mark turns its line into a header.
        {"HEADER in a value",
         {"t:r:HEADER:a:\n", "t:r:0:xHEADERx:\n", "t:r:1:y:\n"},
         {{{"t", "t"}, {"r", "r"}, {"0", "1"}, {"xHEADERx", "y"}}},
         ""},
        {"two record types",
         {"t:r:HEADER:a:\n", "t:s:HEADER:b:\n", "t:s:0:y:\n", "t:r:0:x:\n"},
         {{{"t", "t"}, {"s", "s"}, {"HEADER", "0"}, {"b", "y"}},
          {{"t", "t"}, {"r", "r"}, {"HEADER", "0"}, {"a", "x"}}},
         ""},
    };
    DRIXCapParser p;
    for (const auto& c : cases) {
        Lines input = c.input;
        std::vector<Row> out{earlier};
        std::string error;
        p.parseCmdInput(&input, out, error);
        EXPECT_EQ(error, c.error) << c.what;
        std::vector<Row> expected;
        if (c.error.empty()) {
            expected.push_back(earlier);
            expected.insert(expected.end(), c.rows.begin(), c.rows.end());
        }
        EXPECT_EQ(out, expected) << c.what;
    }
    std::vector<Row> out{earlier};
    std::string error;
    p.parseCmdInput(nullptr, out, error);
    EXPECT_EQ(error, "Null input received.");
    EXPECT_EQ(out.size(), 1u);  // untouched
}

const char FS_HDR[] =
    "peekreg:fs:HEADER:version:reserved:reserved:pkrq_fs_type:pkrq_device_name:"
    "pkrq_owning_cluster_name:pkrq_remote_device_name:\n";

std::string fsRow(const std::string& type, const std::string& dev, const std::string& owner,
                  const std::string& remote) {
    return "peekreg:fs:0:1:::" + type + ":" + dev + ":" + owner + ":" + remote + ":\n";
}

TEST(DRIXCapParser, FsInfoTable) {
    typedef DRIXCapParser::FsList FsList;
    const std::string NOVAL =
        "Unable to find values for pkrq_device_name or pkrq_owning_cluster_name in peekreg "
        "pkrq_fs_info all response.";
    const struct {
        const char* what;
        Lines input;
        bool remote;
        FsList list;
        std::string cluster;
        std::string error;
    } cases[] = {
        {"local only",
         {FS_HDR, fsRow("local", "fs1", "c1", "fs1"), fsRow("remote", "rfs", "c2", "gfs")},
         false,
         {{"fs1", "c1:fs1"}},
         "c1",
         ""},
        {"with remote",
         {FS_HDR, fsRow("local", "fs1", "c1", "fs1"), fsRow("remote", "rfs", "c2", "gfs")},
         true,
         {{"fs1", "c1:fs1"}, {"rfs", "c2:gfs"}},
         "c1",
         ""},
        // Remote row with no owner is skipped before any check when off...
        {"empty owner skipped", {FS_HDR, fsRow("remote", "rfs", "", "gfs")}, false, {}, "old", ""},
        // ...and rejected when on.
        {"empty owner",
         {FS_HDR, fsRow("local", "fs1", "c1", "a"), fsRow("remote", "rfs", "", "g")},
         true,
         {{"fs1", "c1:a"}},
         "c1",
         NOVAL},
        {"empty device", {FS_HDR, fsRow("local", "", "c1", "a")}, false, {}, "old", NOVAL},
        {"no remote device column",
         {"peekreg:fs:HEADER:pkrq_fs_type:pkrq_device_name:pkrq_owning_cluster_name:\n",
          "peekreg:fs:0:local:fs1:c1:\n"},
         false,
         {{"fs1", "c1:"}},
         "c1",
         ""},
        {"no type column",
         {"peekreg:fs:HEADER:x:\n", "peekreg:fs:0:1:\n"},
         false,
         {},
         "old",
         "Unable to find attribute pkrq_fs_type in peekreg pkrq_fs_info all response."},
        {"no device column",
         {"peekreg:fs:HEADER:pkrq_fs_type:pkrq_owning_cluster_name:\n", "peekreg:fs:0:local:c1:\n"},
         false,
         {},
         "old",
         "Unable to find attributes pkrq_device_name or pkrq_owning_cluster_name in peekreg "
         "pkrq_fs_info all response."},
        // Control character, then a byte above 0x7f: both unprintable.
        {"owner control",
         {FS_HDR, fsRow("local", "fs1", "c1", "a"), fsRow("local", "fs2", "c\t", "b")},
         false,
         {{"fs1", "c1:a"}},
         "c1",
         "Found non-printable value for pkrq_owning_cluster_name in peekreg pkrq_fs_info all "
         "response."},
        {"remote high byte",
         {FS_HDR, fsRow("local", "fs1", "c1", "a\xe9")},
         false,
         {},
         "old",
         "Found non-printable value for pkrq_remote_device_name in peekreg pkrq_fs_info all "
         "response."},
        {"device high byte",
         {FS_HDR, fsRow("local", "f\x80", "c1", "a")},
         false,
         {},
         "old",
         "Found non-printable value for pkrq_device_name in peekreg pkrq_fs_info all response."},
        {"colon-format error",
         {"peekreg: not found\n"},
         false,
         {},
         "old",
         "peekreg: not found" + NO_HEADER},
        {"empty reply keeps error text", {}, false, {}, "old", "before"},
    };
    DRIXCapParser p;
    for (const auto& c : cases) {
        Lines input = c.input;
        FsList list{{"stale", "x"}};
        std::string cluster = "old";
        std::string error = "before";
        p.parseFilesystemPKRQuery(&input, list, cluster, c.remote, error);
        EXPECT_EQ(list, c.list) << c.what;
        EXPECT_EQ(cluster, c.cluster) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
}

TEST(DRIXCapParser, IqstatusTable) {
    const struct {
        const char* what;
        Lines input;
        int result;
        std::string reason;
    } cases[] = {
        {"lone INT line",
         {"File system fs1 is mounted and mounted on:\n", "10.0.0.1 n1 INT\n"},
         -1,
         "File system fs1 is not mounted"},
        {"further node", {"x and mounted on:\n", "10.0.0.1 n1 INT\n", "10.0.0.2 n2\n"}, 0, ""},
        // Shorter than four characters: passed over.
        {"short line", {"x and mounted on:\n", "ab\n"}, -1, "File system fs1 is not mounted"},
        {"tool error",
         {"iqstatus: bad device\n"},
         -1,
         "iqstatus: bad device (Error: no list of mounts)"},
        {"list start last", {"a\n", "and mounted on:\n"}, -1, "a (Error: no list of mounts)"},
        {"empty", {}, -1, "File system fs1 is not mounted"},
    };
    DRIXCapParser p;
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_EQ(p.processIQStatusOutput(&c.input, "fs1", reason), c.result) << c.what;
        EXPECT_EQ(reason, c.reason) << c.what;
    }
    std::string reason;
    EXPECT_EQ(p.processIQStatusOutput(nullptr, "fs1", reason), -1);
    EXPECT_EQ(reason, "Received null input");
}

TEST(DRIXCapParser, Utilities) {
    const struct {
        const char* l;
        const char* r;
        bool lesser;
    } versions[] = {{"4.2", "4.2.1", true},
                    {"4.10", "4.9", false},
                    {"4.2", "4.2", false},
                    {"4.x", "4.1", true}};  // no number counts 0
    for (const auto& v : versions)
        EXPECT_EQ(DRIXCapParser::lesserVersion(v.l, v.r), v.lesser) << v.l;

    std::string s = " \t a b\t ";
    DRIXCapParser::trim(s);
    EXPECT_EQ(s, "a b");
    s = " \t ";
    DRIXCapParser::trim(s);
    EXPECT_EQ(s, "");

    DRIXCapParser p;
    std::string name = "keep";
    Lines four{"a:b:c:d\n"};
    p.parseClusterNameQuery(&four, name);
    EXPECT_EQ(name, "keep");
    Lines five{"a::b:c:d:cl1\n"};  // empty fields dropped
    p.parseNodePKRQuery(&five, name);
    EXPECT_EQ(name, "cl1");

    const struct {
        const char* text;
        uint64_t signedValue;
        uint64_t unsignedValue;
    } numbers[] = {
        {" 42x", 42, 42},
        {"abc", 0, 0},
        {"-5", UINT64_MAX - 4, UINT64_MAX - 4},
        {"99999999999999999999", INT64_MAX, UINT64_MAX},  // saturate, never overflow
        {"-99999999999999999999", static_cast<uint64_t>(INT64_MIN), UINT64_MAX},
        {"18446744073709551615", INT64_MAX, UINT64_MAX},
    };
    for (const auto& n : numbers) {
        EXPECT_EQ(DRIXCapParser::signedText(n.text), n.signedValue) << n.text;
        EXPECT_EQ(DRIXCapParser::unsignedText(n.text), n.unsignedValue) << n.text;
    }
}

const char DF_ZSD_HDR[] =
    "iqdf:zsd:HEADER:version:reserved:reserved:zsdName:storagePool:diskSize:failureGroup:"
    "metadata:data:freeBlocks:freeBlocksPct:freeFragments:freeFragmentsPct:diskAvailableForAlloc:"
    "\n";
const char DF_INODE_HDR[] =
    "iqdf:inode:HEADER:version:reserved:reserved:usedInodes:freeInodes:allocatedInodes:maxInodes:"
    "\n";

std::string dfDisk(const std::string& name, const std::string& pool, const std::string& size,
                   const std::string& meta, const std::string& data) {
    return "iqdf:zsd:0:1:::" + name + ":" + pool + ":" + size + ":1:" + meta + ":" + data +
           ":10:1:3:1:up:\n";
}

TEST(DRIXCapParser, IqdfTable) {
    typedef std::vector<uint64_t> Sums;
    const Sums Z{0, 0, 0};
    DRIXCapParser p;
    {
        // Two disks of pool A: metadata only and both.
        Lines input{DF_ZSD_HDR,
                    dfDisk("d1", "A", "100", "Yes", "No"),
                    dfDisk("d2", "A", "200", "Yes", "Yes"),
                    DF_INODE_HDR,
                    "iqdf:inode:0:1:::5:6:7:8:\n",
                    "iqdf:fsTotal:HEADER:version:x:\n",
                    "iqdf:fsTotal:0:1:2:\n"};
        DRIXCapParser::PoolTotals totals;
        std::vector<Row> disks;
        std::map<std::string, uint64_t> inodes;
        std::string error;
        p.parseCAPQResponse(&input, totals, disks, inodes, error);
        EXPECT_EQ(error, "");
        const std::map<std::string, Sums> a{{"dataAndMetadata", {200, 10, 3}},
                                            {"dataOnly", Z},
                                            {"descOnly", Z},
                                            {"metadataOnly", {100, 10, 3}}};
        EXPECT_EQ(totals, (DRIXCapParser::PoolTotals{{"A", a}}));
        ASSERT_EQ(disks.size(), 2u);
        EXPECT_EQ(disks[0].at("usage"), "metadataOnly");
        EXPECT_EQ(disks[1].at("usage"), "dataAndMetadata");
        EXPECT_EQ(
            inodes,
            (std::map<std::string, uint64_t>{
                {"allocatedInodes", 7}, {"freeInodes", 6}, {"maxInodes", 8}, {"usedInodes", 5}}));
        // A second reply adds up.
        Lines again{DF_ZSD_HDR, dfDisk("d1", "A", "100", "Yes", "No")};
        p.parseCAPQResponse(&again, totals, disks, inodes, error);
        EXPECT_EQ(totals["A"]["metadataOnly"], (Sums{200, 20, 6}));
        EXPECT_EQ(disks.size(), 3u);
    }
    const struct {
        const char* meta;
        const char* data;
        const char* usage;
    } flags[] = {{"yes", "NO", "dataAndMetadata"},  // case matters
                 {"No", "No", "descOnly"},
                 {"No", "Yes", "dataOnly"},
                 {"", "", "dataAndMetadata"}};
    for (const auto& f : flags) {
        Lines input{DF_ZSD_HDR, dfDisk("d", "P", "7", f.meta, f.data)};
        DRIXCapParser::PoolTotals totals;
        std::vector<Row> disks;
        std::map<std::string, uint64_t> inodes;
        std::string error;
        p.parseCAPQResponse(&input, totals, disks, inodes, error);
        EXPECT_EQ(totals["P"][f.usage], (Sums{7, 10, 3})) << f.meta << "/" << f.data;
        EXPECT_EQ(totals["P"].size(), 4u);
    }
    {
        // Missing columns never throw: a disk without pool is listed but not
        // summed, a figure missing sums 0, an inode count missing is absent.
        Lines input{"iqdf:zsd:HEADER:zsdName:diskSize:\n",
                    "iqdf:zsd:0:d1:5:\n",
                    "iqdf:zsd:HEADER:zsdName:storagePool:freeBlocks:\n",
                    "iqdf:zsd:0:d2:P:4:\n",
                    "iqdf:inode:HEADER:usedInodes:\n",
                    "iqdf:inode:0:9:\n"};
        DRIXCapParser::PoolTotals totals;
        std::vector<Row> disks;
        std::map<std::string, uint64_t> inodes;
        std::string error;
        p.parseCAPQResponse(&input, totals, disks, inodes, error);
        EXPECT_EQ(disks.size(), 2u);
        EXPECT_EQ(totals.size(), 1u);
        EXPECT_EQ(totals["P"]["dataAndMetadata"], (Sums{0, 4, 0}));
        EXPECT_EQ(inodes, (std::map<std::string, uint64_t>{{"usedInodes", 9}}));
    }
    {
        Lines input{"iqdf: cannot open\n"};
        DRIXCapParser::PoolTotals totals;
        std::vector<Row> disks;
        std::map<std::string, uint64_t> inodes;
        std::string error;
        p.parseCAPQResponse(&input, totals, disks, inodes, error);
        EXPECT_EQ(error, "iqdf: cannot open" + NO_HEADER);
        EXPECT_TRUE(totals.empty() && disks.empty() && inodes.empty());
    }
}

TEST(DRIXCapParser, PoolListingTable) {
    const std::string FULL = "system 0 256 KB yes yes 1000 500 ( 50%) 2000 1000 ( 50%)\n";
    const Row fullRow{{"poolName", "system"}, {"data", "yes"},        {"metaData", "yes"},
                      {"tot_dataKB", "1000"}, {"free_dataKB", "500"}, {"tot_metaKB", "2000"},
                      {"free_metaKB", "1000"}};
    const struct {
        const char* what;
        Lines input;
        std::vector<Row> rows;
        std::string error;
    } cases[] = {
        {"headings skipped",
         {"Storage pools in file system at '/dfs/fs1':\n", "Name Id BlkSize Data\n", "Names x\n",
          FULL},
         {fullRow},
         ""},
        {"tool error first",
         {"Failed to access fs9\n", FULL},
         {},
         "Failed to access fs9 (Error: no filesystem does exist)"},
        // Only the first line can carry the tool error.
        {"error text later",
         {FULL, "Failed to access fs9\n"},
         {fullRow, {{"poolName", "Failed"}}},
         ""},
        // The newline is no delimiter.
        {"empty line", {"\n"}, {{{"poolName", "\n"}}}, ""},
        {"blank line", {"   \n"}, {{{"poolName", "\n"}}}, ""},
        // A hyphen inside a token splits it and shifts what follows.
        {"hyphen shifts",
         {"p 1 2 3 y-es yes 10 20 ( 1%) 30 40\n"},
         {{{"poolName", "p"},
           {"data", "y"},
           {"metaData", "es"},
           {"tot_dataKB", "yes"},
           {"free_dataKB", "10"},
           {"tot_metaKB", "1%"},
           {"free_metaKB", "30"}}},
         ""},
        // After the first token one blank or tab is consumed; a tab after a
        // blank is a token of its own ("name \tx" has the second token "\tx").
        {"blank then tab",
         {"name \t 2 3 4 d\n"},
         {{{"poolName", "name"}, {"data", "4"}, {"metaData", "d\n"}}},
         ""},
        {"tab only", {"name\t 2 3 4 d\n"}, {{{"poolName", "name"}, {"data", "d\n"}}}, ""},
        {"short row", {"p 1 2 3 yes\n"}, {{{"poolName", "p"}, {"data", "yes\n"}}}, ""},
    };
    DRIXCapParser p;
    for (const auto& c : cases) {
        std::vector<Row> rows;
        std::string error;
        p.parsePoolResponse(&c.input, rows, error);
        EXPECT_EQ(rows, c.rows) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
    std::vector<Row> rows;
    std::string error;
    p.parsePoolResponse(nullptr, rows, error);
    EXPECT_TRUE(rows.empty() && error.empty());
}

}  // namespace
