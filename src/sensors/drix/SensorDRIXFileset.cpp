// Source: CapqRelay's "iqlsfileset:<cluster>:<device>" request, which runs the
// fileset listing tool in colon format. Only filesets that own an inode space
// ("isInodeSpaceOwner" 1) carry their own inode figures; the others share
// their owner's.
#include "SensorDRIXFileset.h"

#include <cstddef>
#include <cstring>

#include "SensorFactory.h"

namespace {

constexpr MetricsMetadata drixFilesetMetas[] = {
    {"drix_cluster_name", 13004, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"sensor", 101, DT_STRING, 36, SEMTYPE_IDENTIFIER},
    {"drix_fs_name", 13005, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"drix_fset_name", 13007, DT_STRING, 64, SEMTYPE_IDENTIFIER},
    {"metric_key", 106, DT_METRIC_KEY_96, 12, SEMTYPE_KEY},
    {"drix_fset_maxInodes", 14641, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_fset_freeInodes", 14643, DT_UINT_64, 8, SEMTYPE_QUANTITY},
    {"drix_fset_allocInodes", 14642, DT_UINT_64, 8, SEMTYPE_QUANTITY},
};
constexpr uint32_t groupSizes[] = {8};

typedef SensorDRIXFileset::DRIXFilesetData Record;
static_assert(sizeof(Record) == 264 && sizeof(Record) == rowLength(drixFilesetMetas, 0, 8), "");
static_assert(offsetof(Record, drixFilesetName) == columnOffset(drixFilesetMetas, 3), "");
static_assert(offsetof(Record, metricKey) == columnOffset(drixFilesetMetas, 4), "");
static_assert(offsetof(Record, maxInodes) == columnOffset(drixFilesetMetas, 5), "");

enum { CLUSTER = 0, SENSOR = 1, FS = 2, FSET = 3, VALUES = 5 };

const SensorDRIXCapFlow::Texts filesetTexts = {
    "No capq command stub, no metrics to report.",
    "Error running iqlsfileset for filesystem %s: %s",
    "No data from iqlsfileset command, no metrics to report",
    "No results received from iqlsfileset, no metrics to report.",
};

}  // namespace

SensorDRIXFileset::SensorDRIXFileset()
    : SensorDRIXCapFlow(SensorID::DRIXFileset, drixFilesetMetas, 8, groupSizes, 1, &metricDataSet,
                        filesetTexts, {"iqlsfileset", true}),
      filesetRow(drixFilesetMetas, 8),
      metricDataSet{0, sizeof(Record), nullptr} {}

AbstractSensor* SensorDRIXFileset::generate() { return new SensorDRIXFileset(); }

void SensorDRIXFileset::startPoll() { kept.clear(); }

void SensorDRIXFileset::collect(const FsPair& fs, DRIXCapParser::Lines* reply, std::string& error) {
    std::vector<DRIXCapParser::Row> rows;
    drixCapParser.parseCmdInput(reply, rows, error);
    for (DRIXCapParser::Row& row : rows) {
        const auto owner = row.find("isInodeSpaceOwner");
        if (owner == row.end() || owner->second != "1") continue;
        // A remote listing names the filesystem as its owning cluster does.
        const auto name = row.find("filesystemName");
        if (name != row.end()) name->second = fs.first;
        kept.push_back(std::move(row));
    }
}

std::size_t SensorDRIXFileset::buildRecords() {
    metricDataSet.numSets = 0;
    if (kept.empty()) return 0;
    Record* records = filesetMetricData.prepare(kept.size(), metricDataSet);
    char clusterField[64];
    safeStrncpy(clusterField, drixClusterName.c_str(), sizeof clusterField);
    const uint32_t nodeID = FNV1AHash32(clusterField, sizeof clusterField);
    static const char* const valueColumns[3] = {"maxInodes", "freeInodes", "allocInodes"};
    static const char* const missing[3] = {"Missing maxInodes for filesystem %s, fileset %s",
                                           "Missing freeInodes for filesystem %s, fileset %s",
                                           "Missing allocInodes for filesystem %s, fileset %s"};
    keys.clear();
    std::size_t n = 0;
    for (const DRIXCapParser::Row& fileset : kept) {
        char* row = reinterpret_cast<char*>(&records[n]);
        std::memset(row, 0, sizeof(Record));
        filesetRow.putString(row, CLUSTER, drixClusterName);
        filesetRow.putString(row, SENSOR, getName());
        const auto fs = fileset.find("filesystemName");
        if (fs == fileset.end()) {
            log->logWarning("Missing filesystem name");
            continue;
        }
        filesetRow.putString(row, FS, fs->second);
        const char* fsField = records[n].drixFSName;
        const auto name = fileset.find("filesetName");
        if (name == fileset.end()) {
            log->logWarning("Missing fileset name for filesystem %s", fsField);
            continue;
        }
        filesetRow.putString(row, FSET, name->second);
        const char* nameField = records[n].drixFilesetName;
        const uint32_t hash = keys.claim(filesetRow.keyStringHash(row), [&] {
            return joinKeyText({fsField, nameField});
        });
        filesetRow.putKey(row, MetricKey{nodeID, hash, static_cast<uint16_t>(sensorID), 0});
        bool complete = true;
        for (int k = 0; k < 3 && complete; ++k) {
            const auto value = fileset.find(valueColumns[k]);
            if (value == fileset.end()) {
                log->logWarning(missing[k], fsField, nameField);
                complete = false;
            } else {
                filesetRow.putNumber(row, VALUES + k, DRIXCapParser::unsignedText(value->second));
            }
        }
        if (complete) ++n;
    }
    keys.reportCollisions(*log, getName());
    metricDataSet.numSets = static_cast<uint32_t>(n);
    return n;
}

static volatile RegisterSensorGenerator<SensorDRIXFileset> registerSensorDRIXFileset(
    SensorID::DRIXFileset, SensorDRIXFileset::generate);
