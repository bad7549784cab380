// States of a configuration that no file can produce (edited in memory):
// empty or mistyped lists must print nothing and never be dereferenced.
#include "Statkeepcfg.h"

#include <gtest/gtest.h>

#include <sstream>

#include "ParamNames.h"
#include "SensorDefaultConfig.h"

namespace {

class Cfg0 : public Statkeepcfg {
  public:
    Cfg0() {
        Cfg::SensorDefaultConfig defaults;
        config = new Cfg::Configuration(Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                                        defaults.velmarSensorStore);
    }
    Cfg::ParamValStore& params() { return config->params; }
    std::string shown(bool collectors) {
        std::ostringstream out;
        collectors ? showCollectors(config, out) : showCollectorCandidates(config, out);
        return out.str();
    }
};

TEST(Statkeepcfg, EmptyOrMistypedListsAreHandled) {
    Cfg0 cfg;
    cfg.params().putStrVec(Cfg::COLCAND, {});
    EXPECT_EQ(cfg.shown(false), "");
    cfg.params().putInt(Cfg::COLCAND, 7);
    EXPECT_EQ(cfg.shown(false), "");
    Cfg::ParamVec* list = nullptr;
    ASSERT_TRUE(cfg.params().getStoreVecForUpdate(Cfg::COLLECTORS, list));
    for (Cfg::ParamValStore* s : *list) delete s;
    list->clear();
    EXPECT_EQ(cfg.shown(true), "");

    ASSERT_TRUE(cfg.params().getStoreVecForUpdate(Cfg::SENSORS, list));
    for (Cfg::ParamValStore* s : *list) delete s;
    list->clear();
    EXPECT_FALSE(cfg.deleteSensor("CPU"));
    EXPECT_FALSE(cfg.updateAttribute("CPU.period", "5"));
    auto* sensor = new Cfg::ParamValStore;
    sensor->putStr(Cfg::SENSNAME, "CPU");
    EXPECT_TRUE(cfg.addSensor(sensor));  // becomes the whole list
    EXPECT_TRUE(cfg.updateAttribute("CPU.period", "5"));
}

}  // namespace
