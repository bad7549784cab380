#include "Blaster.h"

#include <endian.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "FNV1AHash.h"
#include "MiscTestSupport.h"
#include "SensorFactory.h"

namespace {

using MiscTest::countOf;

// One row read back from the wire form.
struct Values {
    unsigned a0, a1, a2;
    uint32_t a3;
    uint64_t a4, a5;
    uint32_t a6;
    float a7;
    uint32_t a8, a9;
};

Values valuesOf(const dataSet_t* set, uint32_t row) {
    const Blaster::BlastData& r = reinterpret_cast<const Blaster::BlastData*>(set->data)[row];
    Values v;
    v.a0 = r.a0;
    v.a1 = r.a1;
    v.a2 = be16toh(r.a2);
    v.a3 = be32toh(r.a3);
    v.a4 = be64toh(r.a4);
    v.a5 = be64toh(r.a5);
    v.a6 = be32toh(r.a6);
    uint32_t bits;
    std::memcpy(&bits, &r.a7, sizeof bits);
    bits = be32toh(bits);
    std::memcpy(&v.a7, &bits, sizeof bits);
    v.a8 = be32toh(r.a8);
    v.a9 = be32toh(r.a9);
    return v;
}

class BlasterTest : public MiscTest::Fixture {
  protected:
    void SetUp() override {
        MiscTest::Fixture::SetUp();
        Blaster::setGeneratorState(1);
    }
};

TEST_F(BlasterTest, RegisteredAndDescribedAsTwentyRowsOf160Bytes) {
    std::unique_ptr<AbstractSensor> s(SensorFactory::createSensor("Blaster"));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->getSensorID(), SensorID::Blaster);
    EXPECT_EQ(s->getName(), "Blaster");
    const auto* def = s->getMetricDataDef();
    ASSERT_EQ(def->size(), 14u);
    uint32_t sum = 0;
    for (const FieldSpecifier& f : *def) sum += f.fieldLen;
    EXPECT_EQ(sum, 160u);
    EXPECT_EQ((*def)[2].fieldType, 300);
    EXPECT_EQ((*def)[13].fieldType, 310);
    EXPECT_EQ(s->getMetaData()->numSets, 14u);

    ASSERT_EQ(s->init(), 0);
    const dataSet_t* set = s->getMetricData();
    EXPECT_EQ(set->numSets, 20u);
    EXPECT_EQ(set->setLength, 160u);
    EXPECT_EQ(s->getStatus(), 0);
    EXPECT_EQ(s->shutdown(), 0);
}

TEST_F(BlasterTest, RowsAreNamedAndKeyedByInit) {
    Blaster b;
    ASSERT_EQ(b.init(), 0);
    const dataSet_t* set = b.getMetricData();
    const auto* rows = reinterpret_cast<const Blaster::BlastData*>(set->data);
    for (uint32_t i = 0; i < Blaster::NUM_SETS; ++i) {
        char id[8] = {};
        snprintf(id, sizeof id, "B%04u", i);
        EXPECT_EQ(std::memcmp(rows[i].blastID, id, 8), 0) << i;  // zero bytes after the name
        EXPECT_STREQ(rows[i].sensorName, "Blaster");
        EXPECT_EQ(rows[i].metricKey.nodeID, FNV1AHash32(rows[i].nodeName, 64));
        EXPECT_EQ(rows[i].metricKey.metricClusterID, i);
        EXPECT_EQ(rows[i].metricKey.sensorID, 1);
        EXPECT_EQ(rows[i].metricKey.metricID, 0);
    }
    EXPECT_STREQ(rows[19].blastID, "B0019");
}

TEST_F(BlasterTest, FirstSamplesFromTheInitialGeneratorState) {
    Blaster b;
    ASSERT_EQ(b.init(), 0);
    const dataSet_t* set = b.getMetricData();
    ASSERT_EQ(set->numSets, 20u);

    const Values r0 = valuesOf(set, 0);
    EXPECT_EQ(r0.a0, 1u);
    EXPECT_EQ(r0.a1, 2u);
    EXPECT_EQ(r0.a2, 3u);
    EXPECT_EQ(r0.a3, 5u);
    EXPECT_EQ(r0.a4, 7u);
    EXPECT_EQ(r0.a5, 153u);
    EXPECT_EQ(r0.a6, 12u);
    EXPECT_EQ(r0.a7, 0.01f + 1.5f);
    EXPECT_EQ(r0.a8, 6u);
    EXPECT_EQ(r0.a9, 2u);

    const Values r1 = valuesOf(set, 1);
    EXPECT_EQ(r1.a0, 3u);
    EXPECT_EQ(r1.a1, 11u);
    EXPECT_EQ(r1.a2, 5u);
    EXPECT_EQ(r1.a3, 231u);
    EXPECT_EQ(r1.a4, 265u);
    EXPECT_EQ(r1.a5, 238u);
    EXPECT_EQ(r1.a6, 95u);
    EXPECT_EQ(r1.a7, static_cast<float>(80 + 1.5 + static_cast<double>(0.01f)));
    EXPECT_EQ(r1.a8, 83u);
    EXPECT_EQ(r1.a9, 1u);

    // A step of -20 takes a2 from 2 below 0: it wraps at 16 bits.
    EXPECT_EQ(valuesOf(set, 3).a2, 65518u);

    // On the wire: a2 = 3 is 00 03, a5 = 153 is 00 .. 00 99.
    const unsigned char a2wire[] = {0x00, 0x03};
    const unsigned char a5wire[] = {0, 0, 0, 0, 0, 0, 0, 0x99};
    EXPECT_EQ(std::memcmp(set->data + 122, a2wire, 2), 0);
    EXPECT_EQ(std::memcmp(set->data + 136, a5wire, 8), 0);

    // 90 generator steps of +97 per sample.
    EXPECT_EQ(Blaster::generatorState(), 8731);
    b.getMetricData();
    EXPECT_EQ(Blaster::generatorState(), 17461);
    EXPECT_EQ(valuesOf(set, 0).a1, 3u);
    EXPECT_EQ(valuesOf(set, 0).a8, 7u);
}

TEST_F(BlasterTest, SecondInitRestartsValuesButNotTheSequence) {
    Blaster b;
    b.init();
    b.getMetricData();
    b.getMetricData();
    ASSERT_EQ(b.init(), 0);
    const dataSet_t* set = b.getMetricData();
    EXPECT_EQ(valuesOf(set, 0).a9, 2u);  // even rows: back at their start values
    EXPECT_EQ(Blaster::generatorState(), (1 + 3 * 8730) % 65536);
    // Another Blaster draws from the same sequence.
    Blaster other;
    other.init();
    other.getMetricData();
    EXPECT_EQ(Blaster::generatorState(), (1 + 4 * 8730) % 65536);
}

TEST_F(BlasterTest, SampleLimitStopsAfterMaxCounterSamples) {
    env.set("VELMAR_BLASTER_MAXCOUNTER", "3");
    Blaster b;
    ASSERT_EQ(b.init(), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(b.getMetricData()->numSets, 20u) << i;
    const int64_t state = Blaster::generatorState();
    EXPECT_EQ(b.getMetricData()->numSets, 0u);
    EXPECT_EQ(b.getMetricData()->numSets, 0u);
    EXPECT_EQ(Blaster::generatorState(), state);
    EXPECT_EQ(countOf(daemonLog(), "Blaster: blaster generated 3 data sets"), 1u);
    // A later init names the rows again, but the limit still holds.
    b.init();
    EXPECT_EQ(b.getMetricData()->numSets, 0u);
}

TEST_F(BlasterTest, SampleLimitIsReadLikeStrtoull) {
    struct Case {
        const char* text;  // null: unset
        uint64_t limit;
    };
    const Case cases[] = {
        {nullptr, 0},  {"", 0},      {"0", 0},   {"abc", 0},  // no limit
        {"3", 3},      {"0x10", 16}, {"010", 8},              // decimal, hexadecimal, octal
        {"12abc", 12}, {" 7", 7},
    };
    for (const Case& c : cases) {
        env.set("VELMAR_BLASTER_MAXCOUNTER", c.text);
        EXPECT_EQ(blasterMaxCounterFromEnv(), c.limit) << (c.text ? c.text : "(unset)");
    }
    env.set("VELMAR_BLASTER_MAXCOUNTER", "0x10");
    Blaster b;
    b.init();
    int samples = 0;
    while (samples < 100 && b.getMetricData()->numSets == 20u) ++samples;
    EXPECT_EQ(samples, 16);
}

}  // namespace
