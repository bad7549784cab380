#include "SensorFactory.h"

#include <cstdio>

std::map<std::string, sensor_generator_t>* SensorFactory::constructors = nullptr;

void SensorFactory::registerGenerator(const std::string& name, sensor_generator_t generator) {
    if (constructors == nullptr) constructors = new std::map<std::string, sensor_generator_t>();
    (*constructors)[name] = generator;
    std::printf("SensorFactory: %s registered\n", name.c_str());
    std::fflush(stdout);
}

sensor_generator_t SensorFactory::findGenerator(const std::string& name) {
    if (constructors == nullptr) return nullptr;
    auto it = constructors->find(name);
    return it != constructors->end() ? it->second : nullptr;
}

AbstractSensor* SensorFactory::createSensor(const std::string& name) {
    sensor_generator_t generator = findGenerator(name);
    return generator != nullptr ? generator() : nullptr;
}
