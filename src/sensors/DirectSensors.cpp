// Wires the directly built sensors into the sensor list (see DirectSensors.h).
// The build defines VELMAR_HAVE_<family> for each family it links, so a
// program built before a family exists still links and reports that family's
// names as unknown sensors.
#include "DirectSensors.h"

#ifdef VELMAR_HAVE_GENERIC
#include "GenericSensor.h"
#endif
#ifdef VELMAR_HAVE_CEPH
#include "SensorCephCluster.h"
#include "SensorCephPool.h"
#endif
#ifdef VELMAR_HAVE_BLASTER
#include "BlasterTopProc.h"
#endif

namespace {

#ifdef VELMAR_HAVE_GENERIC
AbstractSensor* makeGeneric(const std::string& name, int sensorID,
                            const std::vector<MetricsMetadata>& metricTable,
                            const std::vector<uint32_t>& perVirtSensorCounts,
                            const std::string& proxyCmd, const std::string& proxyArgs,
                            const std::string& subCmd) {
    return new GenericSensor(name, sensorID, metricTable, perVirtSensorCounts, proxyCmd, proxyArgs,
                             subCmd);
}
#endif
#ifdef VELMAR_HAVE_CEPH
AbstractSensor* makeCephCluster() { return new SensorCephCluster(); }
AbstractSensor* makeCephPool() { return new SensorCephPool(); }
#endif
#ifdef VELMAR_HAVE_BLASTER
AbstractSensor* makeBlasterTopProc() { return new BlasterTopProc(); }
#endif

bool wire() {
#ifdef VELMAR_HAVE_GENERIC
    directSensorMakers.generic = makeGeneric;
#endif
#ifdef VELMAR_HAVE_CEPH
    directSensorMakers.cephCluster = makeCephCluster;
    directSensorMakers.cephPool = makeCephPool;
#endif
#ifdef VELMAR_HAVE_BLASTER
    directSensorMakers.blasterTopProc = makeBlasterTopProc;
#endif
    return true;
}

[[maybe_unused]] const bool wired = wire();

}  // namespace
