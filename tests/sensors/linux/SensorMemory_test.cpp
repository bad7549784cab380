#include "SensorMemory.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "HostSensorTestUtil.h"
#include "hostMetricIDs.h"

namespace {

using hosttest::decodeRows;
using hosttest::field;

class MemoryTest : public hosttest::ProcRoot {};

TEST_F(MemoryTest, FirstSampleOfTheGoldenFileGivesTheExpectedRow) {
    putFixture("/proc/meminfo", "memory/meminfo");
    SensorMemory mem;
    ASSERT_EQ(mem.init(), 0);
    const dataSet_t* set = mem.getMetricData();
    EXPECT_EQ(set->setLength, 248u);
    EXPECT_EQ(decodeRows(mem, set), hosttest::goldenRows("memory/expected.txt"));

    // The file is read afresh after each sample.
    put("/proc/meminfo", "MemTotal: 1 kB\n");
    const auto rows = decodeRows(mem, mem.getMetricData());
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(field(rows[0], "mem_memtotal"), "1");
    EXPECT_EQ(field(rows[0], "mem_memfree"), "0") << "nothing is kept from the previous sample";
}

TEST_F(MemoryTest, MissingAndOddLines) {
    struct Case {
        const char* why;
        const char* text;
        const char* column;
        const char* value;
    };
    const Case cases[] = {
        {"older kernels have no MemAvailable", "MemTotal: 100 kB\nMemFree: 50 kB\n",
         "mem_available", "0"},
        {"an empty file still gives a record", "", "mem_memtotal", "0"},
        {"a key met again replaces the earlier value", "Dirty: 5 kB\nDirty: 6 kB\n", "mem_dirty",
         "6"},
        {"a line without a number adds nothing", "MemFree: kB\nMemFree 7\n", "mem_memfree", "0"},
        {"keys are exact and case-sensitive", "memtotal: 5\n MemTotal: 6\n", "mem_memtotal", "0"},
        {"a negative value travels as its 64-bit pattern", "SwapFree: -1 kB\n", "mem_swapfree",
         "18446744073709551615"},
        {"an overflowing value is not read", "Cached: 99999999999999999999 kB\n", "mem_cached",
         "0"},
        {"a line without newline at the end of the file", "Buffers: 12", "mem_buffers", "12"},
        {"a pair after an unread key's number on the same line is still read",
         "Zswap: 5MemFree: 7 kB\n", "mem_memfree", "7"},
        {"a key read is found out of the kernel's order too", "Dirty: 3 kB\nMemTotal: 9 kB\n",
         "mem_memtotal", "9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        put("/proc/meminfo", c.text);
        SensorMemory mem;
        ASSERT_EQ(mem.init(), 0);
        const auto rows = decodeRows(mem, mem.getMetricData());
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(field(rows[0], c.column), c.value);
    }
}

TEST(MeminfoParser, ReadsEveryKeyOfTheFile) {
    MeminfoValues v;
    parseMeminfo("Inactive:   10 kB\nInactive(anon): 20 kB\nA: 1 B: 2\nNoColon 3\n:4\n", v);
    EXPECT_EQ(v.at("Inactive"), 10);
    EXPECT_EQ(v.at("Inactive(anon)"), 20);
    EXPECT_EQ(v.at("A"), 1);
    EXPECT_EQ(v.at(" B"), 2)
        << "several pairs on one line are read as the kernel never writes them";
    EXPECT_EQ(v.at(""), 4);
    EXPECT_EQ(v.count("NoColon 3"), 0u);
}

TEST(MemoryMetricIDs, FurtherMeminfoLinesHoldTheBlockThatTheSensorLeavesFree) {
    using namespace MetricID;
    const uint16_t further[] = {
        mem_writeback,      mem_anonpages,         mem_mapped,         mem_shmem,
        mem_slab,           mem_sreclaimable,      mem_sunreclaim,     mem_kernelstack,
        mem_pagetables,     mem_nfs_unstable,      mem_bounce,         mem_writebacktmp,
        mem_commitlimit,    mem_committed_as,      mem_vmalloctotal,   mem_vmallocused,
        mem_vmallocchunk,   mem_hardwarecorrupted, mem_anonhugepages,  mem_hugepages_total,
        mem_hugepages_free, mem_hugepages_rsvd,    mem_hugepages_surp, mem_hugepagesize,
        mem_directmap4k,
    };
    ASSERT_EQ(sizeof further / sizeof further[0], 25u);
    for (size_t i = 0; i < 25; ++i) EXPECT_EQ(further[i], 12016 + i) << i;

    SensorMemory mem;
    const dataSet_t& meta = mem.getMetaData()[0];
    const auto* columns = reinterpret_cast<const MetricsMetadata*>(meta.data);
    for (uint32_t c = 0; c < meta.numSets; ++c) {
        const uint16_t id = ntohs(columns[c].metricID);
        EXPECT_TRUE(id < 12016 || id > 12040) << columns[c].metricName;
    }
}

TEST_F(MemoryTest, MissingFileFailsInit) {
    SensorMemory mem;
    EXPECT_EQ(mem.init(), -1);
    EXPECT_EQ(mem.getMetricData()->numSets, 0u);
}

}  // namespace
