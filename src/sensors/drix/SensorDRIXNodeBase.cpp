#include "SensorDRIXNodeBase.h"

#include <cstring>
#include <memory>

#include "StatReport.h"
#include "TallyqStub.h"

SensorDRIXNodeBase::SensorDRIXNodeBase(const MetricsMetadata* metas, uint32_t numMetas,
                                       const uint32_t* sensorSize, uint32_t numVirtSensors,
                                       SensorID::SensorID id, const char* request, DRIXNodeHdr* row,
                                       uint32_t rowLength)
    : AbstractSensor(id, metas, numMetas, sensorSize, numVirtSensors, 1000000),
      drixNodeMetricDataSet{1, rowLength, reinterpret_cast<const char*>(row)},
      drixNodeMetricData(row),
      tallyqStub(nullptr),
      TALLYQ_CMD(request),
      nodeName{},
      nodeID(0),
      query(nullptr),
      released(false) {}

SensorDRIXNodeBase::~SensorDRIXNodeBase() = default;

int32_t SensorDRIXNodeBase::init() {
    nodeID = getNodeID(nodeName, sizeof nodeName);
    DRIXNodeHdr& hdr = *drixNodeMetricData;
    safeStrncpy(hdr.nodeName, nodeName, sizeof hdr.nodeName);
    safeStrncpy(hdr.sensorName, getName().c_str(), sizeof hdr.sensorName);
    const MetricKey key{nodeID, 0, static_cast<uint16_t>(sensorID), 0};
    writeMetricKey(reinterpret_cast<char*>(&hdr.metricKey), key);
    if (query != nullptr) return 0;
    tallyqStub = TallyqStub::getInstance();
    return tallyqStub != nullptr ? 0 : -1;
}

const dataSet_t* SensorDRIXNodeBase::getMetricData() {
    drixNodeMetricDataSet.numSets = 0;
    if (query == nullptr && tallyqStub == nullptr) {
        StatReport::fail(*log, sourceOK, sourcePrevOK, "%s", StatReport::NO_CHANNEL);
    } else {
        std::unique_ptr<TallyqResponse> reply(query != nullptr
                                                  ? query->executeQuery(TALLYQ_CMD)
                                                  : tallyqStub->executeQuery(TALLYQ_CMD));
        if (StatReport::acceptReply(reply.get(), TALLYQ_CMD, StatReport::NODE_TEXTS, *log, sourceOK,
                                    sourcePrevOK)) {
            const uint32_t length = drixNodeMetricDataSet.setLength;
            std::memset(rowBytes() + sizeof(DRIXNodeHdr), 0, length - sizeof(DRIXNodeHdr));
            drixNodeMetricDataSet.data = rowBytes();
            drixNodeMetricDataSet.numSets = 1;
            fillInMetrics(&reply->getRecordList());
        }
    }
    sourcePrevOK = sourceOK;
    return &drixNodeMetricDataSet;
}

int32_t SensorDRIXNodeBase::getStatus() {
    return query != nullptr || tallyqStub != nullptr ? 0 : -1;
}

int32_t SensorDRIXNodeBase::shutdown() {
    // A second shutdown must not give back a reference that another sensor
    // still holds.
    if (tallyqStub != nullptr && !released) TallyqStub::releaseInstance();
    released = true;
    return 0;
}

void SensorDRIXNodeBase::fillMainColumns(const TallyqRecord& record,
                                         const StatColumns::Column* columns, std::size_t count) {
    char* row = rowBytes();
    std::size_t offset = sizeof(DRIXNodeHdr);
    for (std::size_t i = 0; i < count; ++i) {
        const StatColumns::Column& c = columns[i];
        switch (c.meta.metricLen) {
            case 2: {
                uint16_t v = 0;
                record.getInt16Main(c.key, v, *log);
                putRaw(row, offset, v);
                break;
            }
            case 4: {
                uint32_t v = 0;
                record.getInt32Main(c.key, v, *log);
                putRaw(row, offset, v);
                break;
            }
            default: {
                uint64_t v = 0;
                record.getInt64Main(c.key, v, *log);
                putRaw(row, offset, v);
                break;
            }
        }
        offset += c.meta.metricLen;
    }
}
