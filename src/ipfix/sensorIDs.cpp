#include "sensorIDs.h"

namespace SensorID {

static_assert(sizeof(SensorID) == 4, "SensorID is a 32-bit enumeration");
static_assert(sizeof(sensorNames) / sizeof(sensorNames[0]) == NUM_SENSOR_IDS,
              "one name per identity");
static_assert(SensorLast == NUM_SENSOR_IDS - 1, "SensorLast is the last identity");

const std::string& sensorName(int64_t id) {
    // Built on first use; function-local statics are initialised exactly once
    // even when several sensor threads ask at the same time.
    static const std::string* const names = [] {
        auto* table = new std::string[NUM_SENSOR_IDS];
        for (int i = 0; i < NUM_SENSOR_IDS; ++i) table[i] = sensorNames[i];
        return table;
    }();
    return names[isValidSensorID(id) ? id : static_cast<int64_t>(Unknown)];
}

}  // namespace SensorID
