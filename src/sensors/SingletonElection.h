// The cluster-wide singleton election behind a sensor entry's
// `restrict = "@key"`: the configuration repository's query tool names the
// node that holds the key, and this node runs the sensor only when that is
// its own name (from the node data file, the configured host name or the
// system host name).
//
// Called only by the sensor list code (SensorCtrl::parseSensorConfig) on the
// main thread, at start-up, before any controller or sensor thread exists.
// Nothing outlives the call: the tool it starts is ended before it returns.
#pragma once

#include <string>

#include "LoggerStub.h"

// True when this node runs the sensor: the node that the configuration
// repository names for the key after the "@" of restrictValue. Every failure
// (a bad key, a tool that cannot run, times out or answers nonsense) is
// logged and gives false; so does a stop request (SensorCtrl::stopPending),
// which ends the wait for the tool early.
bool electSingleton(const LoggerStub& log, const std::string& sensorName,
                    const std::string& restrictValue);
