// Makers of the four sensors that the sensor list builds directly rather than
// through the factory: the generic sensor (from its meta-file), the two Ceph
// sensors and the top-process Blaster.
//
// Their classes live in sensor families that themselves link the daemon core,
// so the core cannot name them without a link cycle. DirectSensors.cpp, linked
// into the daemon as an object library together with those families, fills
// this table during static initialisation, the same way sensor files register
// with the factory. A program without it treats these names as unknown
// sensors.
//
// Written only during static initialisation; read-only afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "definitions.h"

class AbstractSensor;

struct DirectSensorMakers {
    // Each returns a new sensor owned by the caller; null members are makers
    // that this program was built without.
    AbstractSensor* (*cephCluster)() = nullptr;
    AbstractSensor* (*cephPool)() = nullptr;
    AbstractSensor* (*blasterTopProc)() = nullptr;
    AbstractSensor* (*generic)(const std::string& name, int sensorID,
                               const std::vector<MetricsMetadata>& metricTable,
                               const std::vector<uint32_t>& perVirtSensorCounts,
                               const std::string& proxyCmd, const std::string& proxyArgs,
                               const std::string& subCmd) = nullptr;
};

// Constant-initialised (all null), so makers may be set by static objects of
// any translation unit whatever the order of initialisation.
extern DirectSensorMakers directSensorMakers;
