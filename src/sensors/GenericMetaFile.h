// The generic sensors' meta-files: the schema a sensor's "<name>.cfg"
// meta-file is read against. Reading one is SensorCtrl::createGenericSensor
// (GenericMetaFile.cpp): it checks the key elements, the proxy command and
// the metric table, and hands the controller one GenericSensor built from
// them, or logs why the sensor stays off.
//
// The sensor list code (SensorCtrl::parseSensorConfig) owns one schema while
// it reads the list; everything runs on the main thread before any
// controller or sensor thread exists.
#pragma once

#include "ParamDefStore.h"

// The schema a meta-file is read against: `top` holds the key elements, the
// proxy configuration, the metric definitions and the sensor identifier.
// Not copyable: `top` points into the other members.
struct MetaSchema {
    MetaSchema();
    MetaSchema(const MetaSchema&) = delete;
    MetaSchema& operator=(const MetaSchema&) = delete;

    Cfg::ParamDefStore keyDef;
    Cfg::ParamDefStore proxyDef;
    Cfg::ParamDefStore metricDef;
    Cfg::ParamDef topDefs[4];
    Cfg::ParamDefStore top;
};
