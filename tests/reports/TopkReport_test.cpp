#include "TopkReport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

// One report-field record in network order.
std::string record(const char* name, uint32_t pid, uint16_t cpu, uint16_t mem, uint32_t interval) {
    IPFIXTopProcType host;
    std::memset(&host, 0, sizeof host);
    std::memcpy(host.procName, name, std::min(std::strlen(name), sizeof host.procName));
    host.pid = pid;
    host.totCPUpm = cpu;
    host.resMempm = mem;
    host.repInterval = interval;
    IPFIXTopProcType net;
    ipfixTopProcToNet(net, host);
    return std::string(reinterpret_cast<const char*>(&net), sizeof net);
}

TopkReport makeReport(uint32_t interval, std::vector<TopkItem> items) {
    TopkReport r;
    r.setInterval(interval);
    r.getTopk() = std::move(items);
    return r;
}

TEST(IPFIXTopProc, ConversionSwapsTheNumbersOnly) {
    IPFIXTopProcType host;
    std::memset(&host, 0, sizeof host);
    std::strcpy(host.procName, "sshd");
    host.pid = 0x01020304;
    host.totCPUpm = 0x0506;
    host.resMempm = 0x0708;
    host.repInterval = 0x090A0B0C;
    IPFIXTopProcType net;
    ipfixTopProcToNet(net, host);
    const unsigned char expect[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&net) + 16, expect, 12), 0);
    EXPECT_STREQ(net.procName, "sshd");

    IPFIXTopProcType back;
    ipfixTopProcToHost(back, net);
    EXPECT_EQ(std::memcmp(&back, &host, sizeof host), 0);
    // In place, as the sensors convert their own slots.
    ipfixTopProcToNet(host, host);
    EXPECT_EQ(std::memcmp(&host, &net, sizeof host), 0);
}

TEST(IPFIXTopProc, TopkMultisetKeepsTheEarliestAmongEquals) {
    auto rec = [](uint32_t pid, uint16_t cpu) {
        IPFIXTopProcType r;
        std::memset(&r, 0, sizeof r);
        r.pid = pid;
        r.totCPUpm = cpu;
        return r;
    };
    topk_multiset<IPFIXTopProcType, IPFIXTopProcGreater> top(3, IPFIXTopProcGreater());
    top.insert(rec(1, 5));
    top.insert(rec(2, 9));
    top.insert(rec(3, 5));  // after pid 1, its equal
    top.insert(rec(4, 5));  // full, not greater than the last: dropped
    top.insert(rec(5, 7));  // replaces the last (pid 3)
    std::vector<uint32_t> pids;
    for (const auto& r : top) pids.push_back(r.pid);
    EXPECT_EQ(pids, (std::vector<uint32_t>{2, 5, 1}));

    topk_multiset<IPFIXTopProcType, IPFIXTopProcGreater> none(0);
    none.insert(rec(1, 5));
    EXPECT_TRUE(none.empty());
}

TEST(TopkReport, ParseTakesWholeRecordsOnly) {
    const std::string two = record("init", 1, 10, 20, 500) + record("bash", 2, 30, 40, 500);
    TopkReport r;
    ASSERT_EQ(r.parse(two.data(), 56), 0);
    ASSERT_EQ(r.getTopk().size(), 2u);
    EXPECT_EQ(r.getInterval(), 500u);
    EXPECT_EQ(r.getTopk()[1].name, "bash");
    EXPECT_EQ(r.getTopk()[1].id, 2u);
    EXPECT_EQ(r.getTopk()[1].cpu, 30u);
    EXPECT_EQ(r.getTopk()[1].mem, 40u);

    EXPECT_EQ(r.parse(two.data(), 55), 0);
    EXPECT_EQ(r.getTopk().size(), 1u);
    EXPECT_EQ(r.parse(two.data(), 27), 0);
    EXPECT_TRUE(r.getTopk().empty());
    EXPECT_EQ(r.getInterval(), 0u);
    EXPECT_EQ(r.parse(nullptr, 0), 0);
}

TEST(TopkReport, ParseRejectsMalformedFields) {
    TopkReport r;
    // A 15-character name still has its terminator; 16 characters have none.
    EXPECT_EQ(r.parse(record("abcdefghijklmno", 1, 0, 0, 1).data(), 28), 0);
    EXPECT_EQ(r.getTopk()[0].name, "abcdefghijklmno");
    std::string full = record("x", 1, 0, 0, 1);
    std::memset(&full[0], 'a', 16);
    EXPECT_EQ(r.parse(full.data(), full.size()), -1);

    // An interval of 0 is taken over by the first non-zero one...
    const std::string zeroFirst =
        record("a", 1, 0, 0, 0) + record("b", 2, 0, 0, 500) + record("c", 3, 0, 0, 500);
    EXPECT_EQ(r.parse(zeroFirst.data(), zeroFirst.size()), 0);
    EXPECT_EQ(r.getInterval(), 500u);
    // ...but a later record may not disagree with it.
    const std::string zeroLater = record("a", 1, 0, 0, 500) + record("b", 2, 0, 0, 0);
    EXPECT_EQ(r.parse(zeroLater.data(), zeroLater.size()), -1);
    EXPECT_EQ(r.getTopk()[0].name, "a");

    // A length without data is refused rather than read.
    EXPECT_EQ(r.parse(nullptr, 28), -1);
}

TEST(TopkReport, NewIPFIXReportCutsNamesAndNumbers) {
    TopkReport r = makeReport(5, {{7, "abcdefghijklmnopqrst", 70000, 65537}, {8, "init", 3, 4}});
    blob_type blob;
    r.newIPFIXReport(&blob);
    ASSERT_NE(blob.m_dataptr, nullptr);
    ASSERT_EQ(blob.m_datalen, 56u);
    EXPECT_EQ(std::string(blob.m_dataptr, 28), record("abcdefghijklmno", 7, 4464, 1, 5));
    EXPECT_EQ(std::string(blob.m_dataptr + 28, 28), record("init", 8, 3, 4, 5));

    TopkReport back;
    EXPECT_EQ(back.parse(blob.m_dataptr, blob.m_datalen), 0);
    EXPECT_EQ(back.getTopk()[0].name, "abcdefghijklmno");
    EXPECT_EQ(back.getTopk()[0].cpu, 4464u);
    std::free(const_cast<char*>(blob.m_dataptr));

    TopkReport empty;
    empty.newIPFIXReport(&blob);
    EXPECT_EQ(blob.m_datalen, 0u);
    std::free(const_cast<char*>(blob.m_dataptr));
}

TEST(TopkReport, AggregateAveragesOverAllReports) {
    std::vector<TopkReport> in = {makeReport(5, {{1, "a", 300, 30}}), makeReport(5, {}),
                                  makeReport(5, {{1, "a", 600, 60}})};
    TopkReport out;
    aggregateTopkReports(in, out);
    EXPECT_TRUE(in.empty());
    EXPECT_EQ(out.getInterval(), 15u);
    ASSERT_EQ(out.getTopk().size(), 1u);
    EXPECT_EQ(out.getTopk()[0].cpu, 300u);
    EXPECT_EQ(out.getTopk()[0].mem, 30u);
}

TEST(TopkReport, AggregateRanksBySummedCpuAndBreaksTiesByLowerId) {
    std::vector<TopkReport> in = {makeReport(1, {{3, "c", 10, 0}, {1, "a", 10, 0}}),
                                  makeReport(1, {{2, "b", 30, 0}, {3, "c", 10, 0}})};
    TopkReport out;
    aggregateTopkReports(in, out);
    ASSERT_EQ(out.getTopk().size(), 2u);
    EXPECT_EQ(out.getTopk()[0].id, 2u);
    EXPECT_EQ(out.getTopk()[1].id, 3u);
    EXPECT_EQ(out.getTopk()[0].cpu, 15u);

    in = {makeReport(1, {{3, "c", 50, 0}, {2, "b", 50, 0}}), makeReport(1, {{1, "a", 50, 0}})};
    TopkReport tie;
    aggregateTopkReports(in, tie);
    ASSERT_EQ(tie.getTopk().size(), 2u);
    EXPECT_EQ(tie.getTopk()[0].id, 1u);
    EXPECT_EQ(tie.getTopk()[1].id, 2u);
}

TEST(TopkReport, AggregateOfOneCopiesAndOfManyAppends) {
    std::vector<TopkReport> none;
    TopkReport out = makeReport(9, {{4, "keep", 1, 1}});
    aggregateTopkReports(none, out);
    EXPECT_EQ(out.getInterval(), 9u);
    EXPECT_EQ(out.getTopk().size(), 1u);

    std::vector<TopkReport> one = {makeReport(3, {{2, "b", 5, 6}, {1, "a", 7, 8}})};
    aggregateTopkReports(one, out);
    EXPECT_TRUE(one.empty());
    EXPECT_EQ(out.getInterval(), 3u);
    ASSERT_EQ(out.getTopk().size(), 2u);
    EXPECT_EQ(out.getTopk()[0].id, 2u);  // order kept, not re-ranked

    // Two or more add to what `out` already holds.
    std::vector<TopkReport> two = {makeReport(1, {{9, "z", 4, 2}}), makeReport(1, {})};
    aggregateTopkReports(two, out);
    EXPECT_EQ(out.getInterval(), 5u);
    ASSERT_EQ(out.getTopk().size(), 3u);
    EXPECT_EQ(out.getTopk()[2].id, 9u);
    EXPECT_EQ(out.getTopk()[2].cpu, 2u);
    EXPECT_EQ(out.getTopk()[2].mem, 1u);
}

TEST(TopkReport, AggregateSumsWrapAt32Bits) {
    std::vector<TopkReport> in = {makeReport(1, {{1, "a", 0xFFFFFFFFu, 0}}),
                                  makeReport(1, {{1, "a", 3, 0}})};
    TopkReport out;
    aggregateTopkReports(in, out);
    ASSERT_EQ(out.getTopk().size(), 1u);
    EXPECT_EQ(out.getTopk()[0].cpu, 1u);  // (2^32 - 1 + 3) mod 2^32 = 2, halved
}

TEST(TopkReport, Print) {
    std::ostringstream os;
    os << makeReport(5, {{7, "init", 3, 4}});
    EXPECT_EQ(os.str(), "k=1, i=5 {\n7 init 3 4\n}");
    std::ostringstream empty;
    empty << TopkReport();
    EXPECT_EQ(empty.str(), "k=0, i=0 {\n}");
}

TEST(TopkReport, MarshalRoundTripAndEncoding) {
    const TopkReport r = makeReport(0x01020304, {{7, "init", 300, 4}});
    memorybuffer buf;
    Marshal m(&buf);
    ASSERT_TRUE(r.marshal(&m));
    // interval u32, count CUInt, then id u32, name (u32 length + bytes), cpu
    // and mem as CUInt (300 needs the 3-byte form).
    EXPECT_EQ(buf.size(), 4u + 1 + 4 + 4 + 4 + 3 + 1);

    TopkReport back = makeReport(1, {{1, "old", 1, 1}, {2, "older", 2, 2}});
    ASSERT_TRUE(back.unmarshal(&m));
    EXPECT_EQ(back.getInterval(), 0x01020304u);
    ASSERT_EQ(back.getTopk().size(), 1u);
    EXPECT_EQ(back.getTopk()[0].id, 7u);
    EXPECT_EQ(back.getTopk()[0].name, "init");
    EXPECT_EQ(back.getTopk()[0].cpu, 300u);
    EXPECT_EQ(back.getTopk()[0].mem, 4u);
    EXPECT_EQ(buf.size(), 0u);
}

TEST(TopkReport, UnmarshalFailsOnShortOrForgedStreams) {
    const TopkReport r = makeReport(5, {{7, "init", 3, 4}, {8, "bash", 5, 6}});
    memorybuffer full;
    Marshal writer(&full);
    ASSERT_TRUE(r.marshal(&writer));
    std::string bytes(full.size(), '\0');
    full.sgetn(&bytes[0], static_cast<std::streamsize>(bytes.size()));

    // Every cut inside the encoding fails.
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        memorybuffer part;
        part.sputn(bytes.data(), static_cast<std::streamsize>(cut));
        Marshal m(&part);
        TopkReport back;
        EXPECT_FALSE(back.unmarshal(&m)) << "cut at " << cut;
    }

    // A count of 2^40 items backed by nothing fails without allocating them.
    memorybuffer forged;
    Marshal fm(&forged);
    ASSERT_TRUE(fm.putUInt32(5));
    ASSERT_TRUE(fm.putCUInt(uint64_t{1} << 40));
    TopkReport back;
    EXPECT_FALSE(back.unmarshal(&fm));
    EXPECT_TRUE(back.getTopk().empty());

    // Marshalling into a stream that takes nothing fails.
    struct FullBuf : std::streambuf {
        std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
    } sink;
    Marshal nm(&sink);
    EXPECT_FALSE(r.marshal(&nm));
}

}  // namespace
