#include "CephSensorBase.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "CephStub.h"

CephSensorBase::CephSensorBase(SensorID::SensorID sensorID, const MetricsMetadata* metricTable,
                               uint32_t numMetrics, const uint32_t* perVirtSensorCounts,
                               uint32_t rowLength, const char* request)
    : AbstractSensor(sensorID, metricTable, numMetrics, perVirtSensorCounts, 1, 1000000),
      request(request),
      metricDataSet{0, rowLength, nullptr},
      cephStub(nullptr),
      allocatedSets(0) {}

// Normally shutdown has freed the rows; a sensor deleted without it (its
// thread ended before the shutdown request) frees them through the unique_ptr.
CephSensorBase::~CephSensorBase() = default;

int32_t CephSensorBase::init() {
    cephStub = CephStub::getInstance();
    return cephStub != nullptr ? 0 : -1;
}

int32_t CephSensorBase::getStatus() { return cephStub != nullptr ? 0 : -1; }

int32_t CephSensorBase::shutdown() {
    // Forget the channel once released: a second shutdown must not release
    // the other Ceph sensor's reference and close the channel under it.
    if (cephStub != nullptr) CephStub::closeInstance();
    cephStub = nullptr;
    // The rows stay: the controller may still be encoding the last sample.
    // They go with the sensor.
    return 0;
}

const dataSet_t* CephSensorBase::getMetricData() {
    if (cephStub == nullptr) {
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }

    const std::string reply = cephStub->executeQuery(request);
    // A sample the daemon's stop refused or cut short reports nothing, and
    // nothing failed: it ends without a word.
    if (reply.empty() && cephStub->isStopping()) {
        metricDataSet.numSets = 0;
        return &metricDataSet;
    }
    std::vector<CephReply::Record> records;
    CephReply::parseValue(reply, records);
    for (auto it = records.begin(); it != records.end();) {
        if (!acceptRecord(*it))
            it = records.erase(it);
        else
            ++it;
    }

    if (records.empty()) {
        sourceOK = false;
        if (sourcePrevOK)
            log->logError("No results received from ceph-cluster, no metrics to report.");
        metricDataSet.numSets = 0;
        sourcePrevOK = sourceOK;
        return &metricDataSet;
    }

    const uint32_t n = static_cast<uint32_t>(records.size());
    const uint32_t rowLength = metricDataSet.setLength;
    if (rows == nullptr || allocatedSets != n) {
        rows.reset(new uint64_t[(static_cast<std::size_t>(rowLength) * n + 7) / 8]);
        allocatedSets = n;
    }
    char* bytes = reinterpret_cast<char*>(rows.get());
    metricDataSet.numSets = allocatedSets;
    metricDataSet.data = bytes;
    std::memset(bytes, 0, static_cast<std::size_t>(rowLength) * n);

    for (uint32_t i = 0; i < n; ++i) fillRow(records[i], bytes + std::size_t{i} * rowLength);
    metricDataSet.numSets = n;
    sourcePrevOK = sourceOK;
    return &metricDataSet;
}
