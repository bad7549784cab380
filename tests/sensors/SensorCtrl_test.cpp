// The controller thread with fake sensors: scheduling, slow and failing
// sensors, period changes on reload and the ordered stop.
#include "SensorCtrl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "Configuration.h"
#include "CtrlTestSupport.h"
#include "SensorDefaultConfig.h"
#include "SensorFactory.h"

namespace {

using ctrltest::FakeSensor;
using ctrltest::LogCapture;
using Clock = std::chrono::steady_clock;

// The factory names this test uses make fakes; a test sets what they look
// like before it starts the controller and reads back what was made.
std::atomic<FakeSensor*> made1{nullptr};
std::atomic<FakeSensor*> made2{nullptr};
std::function<void(FakeSensor&)> prepare1;
std::function<void(FakeSensor&)> prepare2;

AbstractSensor* makeFake1() {
    auto* s = new FakeSensor(SensorID::TestSensor1, ctrltest::table(6000, 1), {4});
    s->setRows(0, 1);
    if (prepare1) prepare1(*s);
    made1 = s;
    return s;
}

AbstractSensor* makeFake2() {
    auto* s = new FakeSensor(SensorID::TestSensor2, ctrltest::table(6100, 1), {4});
    s->setRows(0, 1);
    if (prepare2) prepare2(*s);
    made2 = s;
    return s;
}

std::atomic<FakeSensor*> madeBlaster{nullptr};
AbstractSensor* makeFakeBlaster() {
    auto* s = new FakeSensor(SensorID::Blaster, ctrltest::table(6200, 1), {4});
    s->setRows(0, 1);
    madeBlaster = s;
    return s;
}

RegisterSensorGenerator<FakeSensor> registerFake1(SensorID::TestSensor1, makeFake1);
RegisterSensorGenerator<FakeSensor> registerFakeBlaster(SensorID::Blaster, makeFakeBlaster);
RegisterSensorGenerator<FakeSensor> registerFake2(SensorID::TestSensor2, makeFake2);

bool waitFor(const std::function<bool()>& cond, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

class SensorCtrlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        made1 = nullptr;
        made2 = nullptr;
        prepare1 = nullptr;
        prepare2 = nullptr;
        liveBefore = FakeSensor::live();
        log = std::make_unique<LogCapture>(dir);
    }

    void TearDown() override {
        if (SensorCtrl::getSensorCtrl() != nullptr) SensorCtrl::terminateSensorCtrl(nullptr);
        log.reset();
        prepare1 = nullptr;
        prepare2 = nullptr;
    }

    // A configuration of the given text, without collectors.
    std::unique_ptr<Cfg::Configuration> config(const std::string& text) {
        const std::string file = dir.file("sensors.cfg");
        std::ofstream(file) << text;
        auto cfg = std::make_unique<Cfg::Configuration>(
            Cfg::SensorDefaultConfig::velmarSensorsDefStore, defaults.velmarSensorStore);
        EXPECT_TRUE(cfg->loadConfigFile(file, nullptr));
        Cfg::ParamVec* collectors = nullptr;
        const Cfg::ParamDefStore* schema = nullptr;
        if (cfg->getParamStoreVecForUpdate(Cfg::COLLECTORS, collectors, schema)) {
            for (Cfg::ParamValStore* c : *collectors) delete c;
            collectors->clear();
        }
        return cfg;
    }

    void start(const std::string& text) {
        cfg = config(text);
        ASSERT_EQ(SensorCtrl::startSensorCtrl(nullptr, cfg.get()), 0);
    }

    // Stops the controller; the time it took, in seconds.
    double stop() {
        const auto t = Clock::now();
        SensorCtrl::terminateSensorCtrl(nullptr);
        return secondsSince(t);
    }

    std::string logText() { return log->text(); }

    ctrltest::TempDir dir;
    std::unique_ptr<LogCapture> log;
    Cfg::SensorDefaultConfig defaults;
    std::unique_ptr<Cfg::Configuration> cfg;
    // Fakes left alive by earlier tests that stopped with a hung sensor.
    int liveBefore = 0;
};

TEST_F(SensorCtrlTest, InitialDelayByPeriod) {
    SensorCtrl::config = nullptr;
    auto ctrl = std::make_unique<SensorCtrl>();
    const uint64_t s = 1000000;
    EXPECT_EQ(ctrl->getInitialDelay(30 * s, "A"), 0u);
    EXPECT_EQ(ctrl->getInitialDelay(3599 * s, "A"), 0u);
    EXPECT_EQ(ctrl->getInitialDelay(3600 * s, "B"), 1200 * s);
    EXPECT_EQ(ctrl->getInitialDelay(7200 * s, "C"), 2400 * s);
    EXPECT_EQ(ctrl->getInitialDelay(6 * 3600 * s, "D"), 3600 * s);
    EXPECT_EQ(ctrl->getInitialDelay(12 * 3600 * s, "E"), 7200 * s);
    EXPECT_EQ(ctrl->getInitialDelay(86400 * s - 1, "F"), 7200 * s);
    EXPECT_EQ(ctrl->getInitialDelay(86400 * s, "G"), 10800 * s);
    ctrl.reset();
    const std::string text = logText();
    EXPECT_NE(text.find("SensorCtrl: Set initial delay time for sensor C to 2400 seconds"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("sensor A to"), std::string::npos);
}

TEST_F(SensorCtrlTest, SendLogMsgAppendsTheSystemError) {
    SensorCtrl::config = nullptr;
    auto ctrl = std::make_unique<SensorCtrl>();
    ctrl->sendLogMsg(ENOENT, "Could not send data request to %s", "X");
    ctrl->sendLogMsg(0, "plain %d", 7);
    ctrl->sendLogMsg(EINVAL, "%s", std::string(300, 'z').c_str());
    ctrl.reset();
    const std::string text = logText();
    EXPECT_NE(text.find("[Error  ] SensorCtrl: Could not send data request to X: No such file or "
                        "directory (errno 2)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("SensorCtrl: plain 7\n"), std::string::npos);
    // Cut to 251 characters, without the suffix.
    EXPECT_NE(text.find("SensorCtrl: " + std::string(251, 'z') + "\n"), std::string::npos);
}

// One connection per collector: an entry that names the host and port of
// an earlier one (blanks, letter case and leading zeros aside) gets no
// socket and one Warning. No port is not the default port: it names none.
TEST_F(SensorCtrlTest, RepeatedCollectorGetsOneConnection) {
    struct Entry {
        const char* host;
        const char* port;  // null: no port key
    };
    struct Row {
        const char* why;
        std::vector<Entry> entries;
        std::vector<std::string> sockets;  // "host:port"
        std::vector<std::string> warnings;
    } rows[] = {
        {"exact repeat",
         {{"127.0.0.1", "1"}, {"127.0.0.1", "1"}},
         {"127.0.0.1:1"},
         {"Collector entry 2 (host 127.0.0.1, port 1) repeats an earlier entry; it gets no "
          "connection of its own"}},
        {"blanks, letter case and leading zeros",
         {{"localhost", "1"}, {" LocalHost ", "0001 "}},
         {"localhost:1"},
         {"Collector entry 2 (host LocalHost, port 0001) repeats an earlier entry; it gets no "
          "connection of its own"}},
        {"distinct ports",
         {{"127.0.0.1", "1"}, {"127.0.0.1", "2"}},
         {"127.0.0.1:1", "127.0.0.1:2"},
         {}},
        {"no port beside the default port",
         {{"127.0.0.1", nullptr}, {"127.0.0.1", "4739"}},
         {"127.0.0.1:", "127.0.0.1:4739"},
         {}},
        {"two repeats among four",
         {{"127.0.0.1", "1"}, {"127.0.0.2", "1"}, {"127.0.0.1", "1"}, {"127.0.0.2", "01"}},
         {"127.0.0.1:1", "127.0.0.2:1"},
         {"Collector entry 3 (host 127.0.0.1, port 1) repeats",
          "Collector entry 4 (host 127.0.0.2, port 01) repeats"}},
    };
    size_t seen = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.why);
        std::string text = "collectors = ";
        for (const Entry& e : r.entries) {
            if (&e != &r.entries.front()) text += ", ";
            text += "{\nhost = \"" + std::string(e.host) + "\"\n";
            if (e.port != nullptr) text += "port = \"" + std::string(e.port) + "\"\n";
            text += "}";
        }
        const std::string file = dir.file("collectors.cfg");
        std::ofstream(file) << text << "\n";
        Cfg::Configuration c(Cfg::SensorDefaultConfig::velmarSensorsDefStore,
                             defaults.velmarSensorStore);
        ASSERT_TRUE(c.loadConfigFile(file, nullptr));
        SensorCtrl::config = &c;
        auto ctrl = std::make_unique<SensorCtrl>();
        SensorCtrl::config = nullptr;
        std::vector<std::string> sockets;
        for (const Socket* s : ctrl->links.sockets)
            sockets.push_back(s->getDestHost() + ":" + s->getDestService());
        EXPECT_EQ(sockets, r.sockets);
        ctrl.reset();

        // The log file grows across rows; this row's lines are the new ones.
        const std::string all = logText();
        const std::string logged = all.substr(seen);
        seen = all.size();
        log.reset();
        log = std::make_unique<LogCapture>(dir);
        EXPECT_EQ(LogCapture::count(logged, "repeats an earlier entry"), r.warnings.size())
            << logged;
        for (const std::string& w : r.warnings)
            EXPECT_NE(logged.find("[Warning] SensorCtrl: " + w), std::string::npos) << logged;
    }
}

// A 30-second sensor is polled right after its init whether or not the
// initial delay is configured; a 6-hour one waits for its delay.
TEST_F(SensorCtrlTest, FirstPollFollowsInitUnlessPeriodIsLong) {
    start(
        "sensors = { name = \"TestSensor1\" period = 30 }, { name = \"TestSensor2\" period = 21600 "
        "}\n");
    ASSERT_TRUE(waitFor([] { return made1.load() != nullptr && made1.load()->samples >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(made1.load()->samples, 1);
    EXPECT_EQ(made2.load()->inits, 1);
    EXPECT_EQ(made2.load()->samples, 0);
    EXPECT_LT(stop(), 1.0);
    const std::string text = logText();
    EXPECT_NE(text.find("Executing sensor: TestSensor1"), std::string::npos);
    EXPECT_NE(text.find("Set initial delay time for sensor TestSensor2 to 3600 seconds"),
              std::string::npos);
    EXPECT_NE(text.find("Sensor has stopped: TestSensor1"), std::string::npos);
    EXPECT_NE(text.find("Sensor has stopped: TestSensor2"), std::string::npos);
    EXPECT_EQ(FakeSensor::live(), liveBefore);
}

TEST_F(SensorCtrlTest, DelayFlagOffPollsLongPeriodsAtOnce) {
    start("delay_initial_poll = F\nsensors = { name = \"TestSensor2\" period = 21600 }\n");
    EXPECT_TRUE(waitFor([] { return made2.load() != nullptr && made2.load()->samples >= 1; }));
}

// While a sensor with a period above one second hangs in its sample, later
// timers send no second data request but log and ask for its status; the
// status replies come once it is free again.
TEST_F(SensorCtrlTest, SlowSensorGetsStatusRequests) {
    prepare1 = [](FakeSensor& s) {
        s.periodAfterInit = 1100000;
        s.sampleGate.close();
    };
    prepare2 = [](FakeSensor& s) {
        s.periodAfterInit = 200000;
        s.sampleGate.close();
    };
    start(
        "sensors = { name = \"TestSensor1\" period = 1 }, { name = \"TestSensor2\" period = 1 }\n");
    ASSERT_TRUE(
        waitFor([] { return made1.load() != nullptr && made1.load()->sampleGate.waiting() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    FakeSensor* s1 = made1;
    FakeSensor* s2 = made2;
    EXPECT_EQ(s1->samples, 1);
    EXPECT_EQ(s2->samples, 1);
    s1->sampleGate.open();
    s2->sampleGate.open();
    EXPECT_TRUE(waitFor([s1] { return s1->samples >= 2; }));
    // Two periods passed while it was stuck, but the first status request
    // was still unanswered at the second: no second one was queued.
    EXPECT_EQ(s1->statusCalls, 1);
    EXPECT_EQ(s2->statusCalls, 0);
    stop();
    const std::string text = logText();
    EXPECT_NE(text.find("[Error  ] SensorCtrl: sensor TestSensor1 slow to respond. Too many "
                        "outstanding data requests."),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("sensor TestSensor2 slow"), std::string::npos);
    EXPECT_NE(text.find("Sensor TestSensor1 reports no error despite slow response, number of "
                        "reports 1, time of first report: "),
              std::string::npos);
}

// A sample that yields no data is answered with the sensor's status; that
// answers the data request, so the sensor is polled again.
TEST_F(SensorCtrlTest, FailedSampleIsPolledAgain) {
    prepare1 = [](FakeSensor& s) {
        s.periodAfterInit = 100000;
        s.failSamples = true;
        s.statusResult = 7;
    };
    start("sensors = { name = \"TestSensor1\" period = 1 }\n");
    EXPECT_TRUE(waitFor([] { return made1.load() != nullptr && made1.load()->samples >= 4; }));
    stop();
    EXPECT_NE(logText().find("Error on sensor TestSensor1. Error code: 7, number of reports 0"),
              std::string::npos);
}

TEST_F(SensorCtrlTest, FailedInitIsNeverPolledButStopped) {
    prepare1 = [](FakeSensor& s) { s.initResult = 5; };
    start("sensors = { name = \"TestSensor1\" period = 1 }\n");
    ASSERT_TRUE(waitFor([] { return made1.load() != nullptr && made1.load()->inits == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(made1.load()->samples, 0);
    EXPECT_LT(stop(), 1.0);
    const std::string text = logText();
    EXPECT_NE(text.find("Initialization of sensor TestSensor1 failed with reply code 5"),
              std::string::npos);
    EXPECT_NE(text.find("Sensor has stopped: TestSensor1"), std::string::npos);
}

// Period 0 removes the timer; a later period re-arms it without the initial
// delay (two hours would otherwise wait 2400 seconds). Sensors the reload
// names but the controller does not have change nothing.
TEST_F(SensorCtrlTest, PeriodChangesOnReload) {
    start("sensors = { name = \"TestSensor1\" period = 1 }\n");
    ASSERT_TRUE(waitFor([] { return made1.load() != nullptr && made1.load()->samples >= 1; }));
    FakeSensor* s = made1;
    SensorCtrl* ctrl = SensorCtrl::getSensorCtrl();

    auto off = config(
        "sensors = { name = \"TestSensor1\" period = 0 }, { name = \"TestSensor2\" period = 1 }\n");
    ctrl->updateSensorPeriod(*off);
    EXPECT_EQ(s->getPollPeriod(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int before = s->samples;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(s->samples, before);

    auto on = config("sensors = { name = \"TestSensor1\" period = 7200 }\n");
    ctrl->updateSensorPeriod(*on);
    EXPECT_EQ(s->getPollPeriod(), 7200000000u);
    EXPECT_TRUE(waitFor([s, before] { return s->samples == before + 1; }, 1000));
    stop();
    EXPECT_EQ(made2.load(), nullptr);
    const std::string text = logText();
    EXPECT_NE(text.find("updateSensorPeriod: Sensor TestSensor1 has period 1 sec. We deactivate "
                        "it by removing the event timer."),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("updateSensorPeriod: Sensor TestSensor1 has period 0 sec. We try to "
                        "reactivate it by configuration reload."),
              std::string::npos);
    EXPECT_NE(text.find("updateSensorPeriod: change period value for sensor TestSensor1 from 0 "
                        "to 7200 sec"),
              std::string::npos);
}

// A period change that arrives before the init reply must not give the
// sensor a second timer: it is then polled at its period, not twice as often.
TEST_F(SensorCtrlTest, ReloadBeforeInitReplyArmsOneTimer) {
    prepare1 = [](FakeSensor& s) { s.initGate.close(); };
    start("sensors = { name = \"TestSensor1\" period = 1 }\n");
    ASSERT_TRUE(
        waitFor([] { return made1.load() != nullptr && made1.load()->initGate.waiting() == 1; }));
    FakeSensor* s = made1;
    SensorCtrl* ctrl = SensorCtrl::getSensorCtrl();
    s->setPollPeriod(100000);
    ASSERT_TRUE(sendEvent(ctrl->ctrlQueue, sensorUpdatePeriod, SensorID::TestSensor1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s->initGate.open();
    ASSERT_TRUE(waitFor([s] { return s->samples >= 1; }));
    const int first = s->samples;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const int polls = s->samples - first;
    EXPECT_GE(polls, 7);
    EXPECT_LE(polls, 12);
}

// Stop while a sensor hangs in its sample: the controller thread is given
// up after its 3-second join, and the hung sensor is not freed under its
// thread.
TEST_F(SensorCtrlTest, StopWhileASensorHangsInItsSample) {
    prepare1 = [](FakeSensor& s) { s.sampleGate.close(); };
    start(
        "sensors = { name = \"TestSensor1\" period = 1 }, { name = \"TestSensor2\" period = 1 }\n");
    ASSERT_TRUE(
        waitFor([] { return made1.load() != nullptr && made1.load()->sampleGate.waiting() == 1; }));
    ASSERT_TRUE(waitFor([] { return made2.load() != nullptr && made2.load()->samples >= 1; }));
    const double took = stop();
    EXPECT_GE(took, 2.9);
    EXPECT_LT(took, 4.5);
    EXPECT_EQ(FakeSensor::live(), liveBefore + 2);
    FakeSensor* s = made1;
    s->sampleGate.open();
    // Its thread finishes the sample and the queued shutdown, on a live sensor.
    EXPECT_TRUE(waitFor([s] { return s->shutdowns == 1; }));
    const std::string text = logText();
    EXPECT_NE(text.find("Thread join failed. Going to kill thread: SensorCtrl"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Sensor TestSensor1 did not answer its last request; it is left running"),
              std::string::npos);
}

// A sensor that never answers its shutdown request costs the stop at most the
// join time-out.
TEST_F(SensorCtrlTest, StopWhenASensorNeverAnswersShutdown) {
    prepare2 = [](FakeSensor& s) { s.shutdownGate.close(); };
    start(
        "sensors = { name = \"TestSensor1\" period = 1 }, { name = \"TestSensor2\" period = 1 }\n");
    ASSERT_TRUE(waitFor([] { return made2.load() != nullptr && made2.load()->samples >= 1; }));
    const double took = stop();
    EXPECT_LT(took, 4.5);
    FakeSensor* s = made2;
    EXPECT_EQ(s->shutdowns, 1);
    s->shutdownGate.open();
    const std::string text = logText();
    EXPECT_NE(text.find("Sensor has stopped: TestSensor1"), std::string::npos);
    EXPECT_EQ(text.find("Sensor has stopped: TestSensor2"), std::string::npos);
}

// Load tests: no timers; each data request follows the previous answer after
// a pause of blasterperiod microseconds, also when a sample fails.
TEST_F(SensorCtrlTest, BlasterModePacesRequestsWithoutTimers) {
    madeBlaster = nullptr;
    start("blaster = { blasterperiod = 20000 }\nsensors = { name = \"TestSensor1\" period = 1 }\n");
    ASSERT_TRUE(
        waitFor([] { return madeBlaster.load() != nullptr && madeBlaster.load()->samples >= 5; }));
    EXPECT_EQ(made1.load(), nullptr);
    FakeSensor* s = madeBlaster;
    EXPECT_EQ(s->getPollPeriod(), 0u);
    s->failSamples = true;
    const int before = s->samples;
    EXPECT_TRUE(waitFor([s, before] { return s->samples >= before + 5; }));
    // Paced by the pause: at most one request per 20 ms.
    const int atStart = s->samples;
    const auto t = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LE(s->samples - atStart, static_cast<int>(secondsSince(t) / 0.02) + 1);
    EXPECT_LT(stop(), 1.0);
}

// A request that cannot be sent because the sensor has no queue says so,
// instead of showing whatever errno held.
TEST_F(SensorCtrlTest, SendFailureWithoutAQueueHasItsOwnMessage) {
    prepare1 = [](FakeSensor&) {
        // A registration without a queue, ahead of the sensor thread's own.
        sensorMsgHdr* reg = new sensorRegisterMsg(SensorID::TestSensor1, nullptr);
        SensorCtrl::getSensorCtrl()->ctrlQueue.pushBack(reg);
    };
    start("sensors = { name = \"TestSensor1\" period = 1 }\n");
    ASSERT_TRUE(waitFor([] { return made1.load() != nullptr; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(stop(), 1.0);
    const std::string text = logText();
    for (const char* what : {"init", "shutdown"})
        EXPECT_EQ(LogCapture::count(text, std::string("] SensorCtrl: Could not send ") + what +
                                              " request to sensor TestSensor1: the sensor "
                                              "thread has not registered its queue\n"),
                  1u)
            << what << "\n"
            << text;
}

TEST_F(SensorCtrlTest, StopWithNoSensorsIsImmediate) {
    start("sensors = { name = \"TestSensor1\" period = 0 }\n");
    EXPECT_LT(stop(), 0.5);
    EXPECT_EQ(SensorCtrl::getSensorCtrl(), nullptr);
}

// Stop and reload from the main thread while sensors sample and a reload
// flips their periods: the controller thread, the sensor threads and the
// reloading thread share no unguarded data.
TEST_F(SensorCtrlTest, ReloadWhileSampling) {
    prepare1 = [](FakeSensor& s) { s.periodAfterInit = 20000; };
    prepare2 = [](FakeSensor& s) { s.periodAfterInit = 30000; };
    start(
        "sensors = { name = \"TestSensor1\" period = 1 }, { name = \"TestSensor2\" period = 1 }\n");
    ASSERT_TRUE(waitFor([] { return made2.load() != nullptr && made2.load()->samples >= 2; }));
    SensorCtrl* ctrl = SensorCtrl::getSensorCtrl();
    auto a = config(
        "sensors = { name = \"TestSensor1\" period = 2 }, { name = \"TestSensor2\" period = 0 }\n");
    auto b = config(
        "sensors = { name = \"TestSensor1\" period = 1 }, { name = \"TestSensor2\" period = 3 }\n");
    for (int i = 0; i < 20; ++i) {
        ctrl->updateSensorPeriod(i % 2 == 0 ? *a : *b);
        ctrl->updateSensorRemoteFSmonitor(i % 2 == 0);
        ctrl->dumpSensorPeriod();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_LT(stop(), 1.0);
    EXPECT_EQ(FakeSensor::live(), liveBefore);
}

}  // namespace
