// The registry through which the configuration names sensors: every sensor
// kind registers a generator under its SensorID::sensorNames entry during
// static initialisation, and the controller creates the configured sensors by
// name.
//
// A sensor file ends with its registration object:
//   static RegisterSensorGenerator<SensorCPU> registerSensorCPU(SensorID::CPU,
//                                                               SensorCPU::generate);
// Sensor families are linked as object libraries (or whole-archive): a static
// library would drop the files nothing refers to, and with them their
// registrations.
//
// Registration happens before main, on one thread; afterwards the map is only
// read. It lives for the whole process and is never freed.
#pragma once

#include <map>
#include <string>

#include "sensorIDs.h"

class AbstractSensor;

// Returns a new sensor owned by the caller.
typedef AbstractSensor* (*sensor_generator_t)();

class SensorFactory {
  public:
    SensorFactory() = delete;

    // Null until the first registration creates it, so registrations work in
    // whatever order the translation units are initialised.
    static std::map<std::string, sensor_generator_t>* constructors;

    // The last registration of a name wins. Writes "SensorFactory: <name>
    // registered" to standard output.
    static void registerGenerator(const std::string& name, sensor_generator_t generator);

    // The generator registered under name, or null.
    static sensor_generator_t findGenerator(const std::string& name);
    // A new sensor made by the generator registered under name (owned by the
    // caller), or null when the name is not registered.
    static AbstractSensor* createSensor(const std::string& name);
};

// One static object per sensor file; the template parameter only gives each
// file's object a type of its own.
template <class Sensor>
class RegisterSensorGenerator {
  public:
    RegisterSensorGenerator(int sensorID, sensor_generator_t generator) {
        const int id = SensorID::isValidSensorID(sensorID) ? sensorID : SensorID::Unknown;
        SensorFactory::registerGenerator(SensorID::sensorNames[id], generator);
    }
};
