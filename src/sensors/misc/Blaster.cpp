// A synthetic source: reads nothing. Every sample moves ten numbers of 20 fixed
// rows, the even rows by constant steps and the odd rows by a small linear
// congruential generator, to load the controller, the encoder and the
// collectors at the rate blaster mode asks for.
#include "Blaster.h"

#include <endian.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "SensorFactory.h"

namespace {

enum BlastMetricID : uint16_t {
    BlastName = 300,
    BlastA0 = 301,
    BlastA1,
    BlastA2,
    BlastA3,
    BlastA4,
    BlastA5,
    BlastA6,
    BlastA7,
    BlastA8,
    BlastA9,
};

constexpr MetricsMetadata blastMetas[] = {
    {"node", METRIC_ID_NODE, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", METRIC_ID_SENSOR, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"blast_name", BlastName, DT_STRING, Blaster::BLAST_NAME_LEN, SEMTYPE_IDENTIFIER},
    {"metric_key", METRIC_ID_METRIC_KEY, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"a0", BlastA0, DT_UINT_8, 1, SEMTYPE_QUANTITY},
    {"a1", BlastA1, DT_UINT_8, 1, SEMTYPE_DELTACOUNTER},
    {"a2", BlastA2, DT_UINT_16, 2, SEMTYPE_QUANTITY},
    {"a3", BlastA3, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"a4", BlastA4, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"a5", BlastA5, DT_FPMICRO_64, 8, SEMTYPE_QUANTITY},
    {"a6", BlastA6, DT_FPCENTI_32, 4, SEMTYPE_QUANTITY},
    {"a7", BlastA7, DT_FLOAT_32, 4, SEMTYPE_QUANTITY},
    {"a8", BlastA8, DT_UINT_32, 4, SEMTYPE_QUANTITY},
    {"a9", BlastA9, DT_UINT_32, 4, SEMTYPE_QUANTITY},
};
constexpr uint32_t sensorSize[] = {14};

typedef Blaster::BlastData Row;
static_assert(sizeof(Row) == 160, "a row is 160 bytes");
static_assert(sizeof(Row) == rowLength(blastMetas, 0, 14), "");
static_assert(offsetof(Row, blastID) == rowLength(blastMetas, 0, 2), "");
static_assert(offsetof(Row, metricKey) == rowLength(blastMetas, 0, 3), "");
static_assert(offsetof(Row, a0) == rowLength(blastMetas, 0, 4), "");
static_assert(offsetof(Row, a7) == rowLength(blastMetas, 0, 11), "");
static_assert(offsetof(Row, a9) == rowLength(blastMetas, 0, 13), "");

// Shared by every Blaster of the process. Atomic so that Blasters on two
// threads would not be a data race (their samples would then interleave the
// one sequence); blaster mode runs only one.
std::atomic<int64_t> rnd{1};

inline int64_t nextState(int64_t x) { return (x * 0x10001 + 97) % 0x10000; }

// Truncates a non-negative sum below 2^33 and wraps it at 32 bits, as the
// integer fields do (a direct conversion past 2^32 would be undefined).
inline uint32_t truncate32(double sum) { return static_cast<uint32_t>(static_cast<uint64_t>(sum)); }

inline uint32_t floatBits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

}  // namespace

uint64_t blasterMaxCounterFromEnv() {
    const char* text = std::getenv("VELMAR_BLASTER_MAXCOUNTER");
    return text != nullptr ? std::strtoull(text, nullptr, 0) : 0;
}

int64_t Blaster::generatorState() { return rnd.load(std::memory_order_relaxed); }

void Blaster::setGeneratorState(int64_t state) { rnd.store(state, std::memory_order_relaxed); }

AbstractSensor* Blaster::generate() { return new Blaster(); }

Blaster::Blaster()
    : AbstractSensor(SensorID::Blaster, blastMetas, 14, sensorSize, 1, 1000000),
      blastMetricDataSet{0, sizeof(Row), reinterpret_cast<const char*>(blastNetByteOrder)},
      counter(0),
      maxCounter(blasterMaxCounterFromEnv()) {
    std::memset(static_cast<void*>(blastMetricData), 0, sizeof blastMetricData);
    std::memset(static_cast<void*>(blastNetByteOrder), 0, sizeof blastNetByteOrder);
}

Blaster::~Blaster() = default;

int32_t Blaster::init() {
    blastMetricDataSet.numSets = NUM_SETS;
    for (uint32_t i = 0; i < NUM_SETS; ++i) {
        Row& net = blastNetByteOrder[i];
        safeStrncpy(net.sensorName, getName().c_str(), sizeof net.sensorName);
        MetricKey key;
        key.nodeID = getNodeID(net.nodeName, sizeof net.nodeName);
        key.metricClusterID = i;
        key.sensorID = SensorID::Blaster;
        key.metricID = 0;
        std::memcpy(&net.metricKey, &key, sizeof key);
        char id[BLAST_NAME_LEN] = {};
        snprintf(id, sizeof id, "B%04u", i);
        std::memcpy(net.blastID, id, sizeof id);

        Row& w = blastMetricData[i];
        w.a0 = 1;
        w.a1 = 1;
        w.a2 = 2;
        w.a3 = 3;
        w.a4 = 4;
        w.a5 = 150;
        w.a6 = 10;
        w.a7 = 0.01f;
        w.a8 = 5;
        w.a9 = 0;
    }
    return 0;
}

int32_t Blaster::getStatus() { return 0; }

int32_t Blaster::shutdown() { return 0; }

const dataSet_t* Blaster::getMetricData() {
    if (maxCounter != 0 && counter == maxCounter) {
        if (blastMetricDataSet.numSets != 0) {
            log->logInfo("blaster generated %lu data sets", static_cast<unsigned long>(maxCounter));
        }
        blastMetricDataSet.numSets = 0;
        return &blastMetricDataSet;
    }

    ++counter;
    int64_t x = rnd.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < NUM_SETS; ++i) {
        Row& w = blastMetricData[i];
        if (i % 2 == 0) {
            w.a1 = static_cast<uint8_t>(w.a1 + 1);
            w.a2 = static_cast<uint16_t>(w.a2 + 1);
            w.a3 += 2;
            w.a4 += 3;
            w.a5 += 3;
            w.a6 += 2;
            w.a7 += 1.5f;
            w.a8 = truncate32(w.a8 + 1.5);
            w.a9 += 2;
        } else {
            // Steps are computed in signed 64-bit and wrap at the field's width.
            int64_t s[10];
            s[0] = x;
            for (int k = 1; k < 10; ++k) s[k] = nextState(s[k - 1]);
            w.a0 = static_cast<uint8_t>(w.a0 + (s[0] % 10) + 1);
            w.a1 = static_cast<uint8_t>(w.a1 + (s[1] % 10) + 2);
            w.a2 = static_cast<uint16_t>(w.a2 + (s[2] % 128) - 64);
            w.a3 = static_cast<uint32_t>(w.a3 + (s[3] % 1024) - 64);
            w.a4 = w.a4 + static_cast<uint64_t>((s[4] % 2048) - 128);
            w.a5 = w.a5 + static_cast<uint64_t>((s[5] % 100) + 2);
            w.a6 = static_cast<uint32_t>(w.a6 + (s[6] % 100) + 2);
            w.a7 = static_cast<float>(static_cast<double>(s[7] % 100) + 1.5 + w.a7);
            w.a8 = truncate32(static_cast<double>(s[8] % 100) + 1.5 + w.a8);
            w.a9 += 1;
            x = s[9];
        }

        Row& net = blastNetByteOrder[i];
        net.a0 = w.a0;
        net.a1 = w.a1;
        net.a2 = htobe16(w.a2);
        net.a3 = htobe32(w.a3);
        net.a4 = htobe64(w.a4);
        net.a5 = htobe64(w.a5);
        net.a6 = htobe32(w.a6);
        const uint32_t a7 = htobe32(floatBits(w.a7));
        std::memcpy(&net.a7, &a7, sizeof a7);
        net.a8 = htobe32(w.a8);
        net.a9 = htobe32(w.a9);
    }
    rnd.store(x, std::memory_order_relaxed);
    return &blastMetricDataSet;
}

static RegisterSensorGenerator<Blaster> registerBlaster(SensorID::Blaster, Blaster::generate);
