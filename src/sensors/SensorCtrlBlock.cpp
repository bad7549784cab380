#include "SensorCtrlBlock.h"

SensorCtrlBlock::SensorCtrlBlock(AbstractSensor* s, sensorQueue_t* queue)
    : sensor(s),
      sensorQueue(queue),
      status{0, 0, 0, 0},
      metaMetricsTemplate(IPFIXTemplSet::createNewTempalteID()),
      dataReqsOut(0),
      repliesOut(0),
      runState(sensorInit) {
    for (const FieldSpecifier& f : *sensor->getMetaDataDef())
        metaMetricsTemplate.addElementHostByteOrder(&f);

    // Through the virtual operation, so that a sensor that builds its
    // definitions itself is described by them.
    const std::vector<FieldSpecifier>* defs = sensor->getMetricDataDef();
    size_t next = 0;
    const uint32_t numVirt = sensor->getNumVirtualSensors();
    metricsTemplate.reserve(numVirt);
    for (uint32_t v = 0; v < numVirt; ++v) {
        metricsTemplate.emplace_back(IPFIXTemplSet::createNewTempalteID());
        const uint32_t n = sensor->getNumFields(v);
        for (uint32_t i = 0; i < n && next < defs->size(); ++i, ++next)
            metricsTemplate.back().addElementHostByteOrder(&(*defs)[next]);
    }
}

SensorCtrlBlock::SensorCtrlBlock(const std::vector<FieldSpecifier>* metaDef,
                                 const std::vector<FieldSpecifier>* metricDef)
    : sensor(nullptr),
      sensorQueue(nullptr),
      status{0, 0, 0, 0},
      metaMetricsTemplate(IPFIXTemplSet::createNewTempalteID()),
      dataReqsOut(0),
      repliesOut(0),
      runState(sensorInit) {
    for (const FieldSpecifier& f : *metaDef) metaMetricsTemplate.addElementHostByteOrder(&f);
    metricsTemplate.emplace_back(IPFIXTemplSet::createNewTempalteID());
    for (const FieldSpecifier& f : *metricDef) metricsTemplate.back().addElementHostByteOrder(&f);
}

SensorCtrlBlock::~SensorCtrlBlock() {
    templateSent.clear();
    delete sensor;
}

bool SensorCtrlBlock::isTemplateSent(const Socket* socket, uint32_t virtualSensor) {
    return templateSent[TmplSentKey_t{socket, virtualSensor}];
}

void SensorCtrlBlock::setTemplateSent(const Socket* socket, uint32_t virtualSensor, bool sent) {
    templateSent[TmplSentKey_t{socket, virtualSensor}] = sent;
}

void SensorCtrlBlock::removeConnectionStatus(const Socket* socket) {
    auto first = templateSent.lower_bound(TmplSentKey_t{socket, 0});
    auto last = first;
    while (last != templateSent.end() && last->first.socket == socket) ++last;
    templateSent.erase(first, last);
}
