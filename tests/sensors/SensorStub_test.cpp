#include "SensorStub.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <atomic>
#include <memory>

namespace {

// Counts its calls; its results are set by the test before the request that
// uses them is sent, and read back after the reply arrived, so the queues
// order every access.
class FakeSensor : public AbstractSensor {
  public:
    FakeSensor() : AbstractSensor(SensorID::Load, nullptr, 0, nullptr, 0, 1000000) {
        sets[0] = {1, 4, row};
    }
    int32_t init() override {
        ++inits;
        return initResult;
    }
    const dataSet_t* getMetricData() override {
        ++samples;
        return noData ? nullptr : sets;
    }
    int32_t getStatus() override { return statusCode; }
    int32_t shutdown() override {
        ++shutdowns;
        return shutdownResult;
    }

    std::atomic<int> inits{0}, samples{0}, shutdowns{0};
    std::atomic<int32_t> initResult{0}, statusCode{0}, shutdownResult{0};
    std::atomic<bool> noData{false};
    char row[4] = {1, 2, 3, 4};
    dataSet_t sets[1];
};

class SensorStubTest : public ::testing::Test {
  protected:
    void TearDown() override {
        SensorStub::waitUntilSensorsTerminate();
        // Whatever a test left unread is owned by the test.
        sensorMsgHdr* msg = nullptr;
        while (getMsg(ctrl, msg, 0) == 0) delete msg;
    }

    // Starts the stub and takes its registration; returns its queue.
    sensorQueue_t* start(uint64_t logicalStart = 0, uint64_t logicalStep = 0) {
        EXPECT_EQ(SensorStub::executeSensor(sensor, ctrl, logicalStart, logicalStep), 0);
        std::unique_ptr<sensorMsgHdr> reg = next();
        if (reg == nullptr) return nullptr;
        EXPECT_EQ(reg->command, sensorStartedEvent);
        EXPECT_EQ(reg->sensorID, SensorID::Load);
        auto* r = dynamic_cast<sensorRegisterMsg*>(reg.get());
        return r != nullptr ? r->sensorQueue : nullptr;
    }

    std::unique_ptr<sensorMsgHdr> next(int64_t timeoutMicros = 10000000) {
        sensorMsgHdr* msg = nullptr;
        const int rc = getMsg(ctrl, msg, timeoutMicros);
        EXPECT_EQ(rc, 0) << "no reply from the sensor thread";
        return std::unique_ptr<sensorMsgHdr>(rc == 0 ? msg : nullptr);
    }

    template <class T>
    std::unique_ptr<T> nextAs(msgCmd expected) {
        std::unique_ptr<sensorMsgHdr> msg = next();
        if (msg == nullptr) return nullptr;
        EXPECT_EQ(msg->command, expected);
        EXPECT_EQ(msg->sensorID, SensorID::Load);
        T* typed = dynamic_cast<T*>(msg.get());
        EXPECT_NE(typed, nullptr);
        if (typed != nullptr) msg.release();
        return std::unique_ptr<T>(typed);
    }

    bool noMoreReplies() {
        sensorMsgHdr* msg = nullptr;
        const int rc = getMsg(ctrl, msg, 100000);
        delete msg;
        return rc == -1;
    }

    static uint64_t nowMillis() {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        return static_cast<uint64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
    }

    FakeSensor sensor;
    sensorQueue_t ctrl;
};

TEST_F(SensorStubTest, ServesInitDataStatusAndShutdown) {
    sensorQueue_t* q = start();
    ASSERT_NE(q, nullptr);

    sensor.initResult = 5;
    ASSERT_TRUE(sendRequest(*q, sensorInitReq));
    auto init = nextAs<sensorMsgHdr>(sensorInitRep);
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init->repCode, 5);

    // A status request before any sample reports nothing yet.
    sensor.statusCode = 0;
    ASSERT_TRUE(sendRequest(*q, sensorStatusReq));
    auto st0 = nextAs<sensorStatusRepMsg>(sensorStatusRep);
    ASSERT_NE(st0, nullptr);
    EXPECT_EQ(st0->status.numReports, 0u);
    EXPECT_EQ(st0->status.firstTimeStamp, 0u);
    EXPECT_EQ(st0->status.curTimeStamp, 0u);

    // The stub keeps serving after a failed init.
    const uint64_t before = nowMillis();
    ASSERT_TRUE(sendRequest(*q, sensorGetDataReq));
    auto d1 = nextAs<sensorDataRepMsg>(sensorGetDataRep);
    ASSERT_NE(d1, nullptr);
    EXPECT_GE(d1->curTime, before);
    EXPECT_LE(d1->curTime, nowMillis());
    EXPECT_EQ(d1->lastTime, 0u);
    EXPECT_EQ(d1->data, sensor.sets);

    ASSERT_TRUE(sendRequest(*q, sensorGetDataReq));
    auto d2 = nextAs<sensorDataRepMsg>(sensorGetDataRep);
    ASSERT_NE(d2, nullptr);
    EXPECT_EQ(d2->lastTime, d1->curTime);

    sensor.statusCode = 3;
    ASSERT_TRUE(sendRequest(*q, sensorStatusReq));
    auto st = nextAs<sensorStatusRepMsg>(sensorStatusRep);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->status.errCode, 3);
    EXPECT_EQ(st->status.numReports, 2u);
    EXPECT_EQ(st->status.firstTimeStamp, d1->curTime);
    EXPECT_EQ(st->status.curTimeStamp, d2->curTime);
    EXPECT_EQ(st->inReplyTo, sensorStatusReq);
    EXPECT_FALSE(settlesDataRequest(*st));

    sensor.shutdownResult = 8;
    ASSERT_TRUE(sendRequest(*q, sensorShutdownReq));
    auto down = nextAs<sensorMsgHdr>(sensorShutdownRep);
    ASSERT_NE(down, nullptr);
    EXPECT_EQ(down->repCode, 8);

    SensorStub::waitUntilSensorsTerminate();
    EXPECT_TRUE(SensorStub::stubList.empty());
    EXPECT_EQ(sensor.inits, 1);
    EXPECT_EQ(sensor.samples, 2);
    EXPECT_EQ(sensor.shutdowns, 1);
    EXPECT_TRUE(noMoreReplies());
}

TEST_F(SensorStubTest, LogicalClockStampsStartPlusSteps) {
    sensorQueue_t* q = start(946681200000ULL, 1000);
    ASSERT_NE(q, nullptr);
    uint64_t last = 0;
    for (uint64_t expected : {946681201000ULL, 946681202000ULL, 946681203000ULL}) {
        ASSERT_TRUE(sendRequest(*q, sensorGetDataReq));
        auto d = nextAs<sensorDataRepMsg>(sensorGetDataRep);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->curTime, expected);
        EXPECT_EQ(d->lastTime, last);
        last = d->curTime;
    }
    // Status requests do not advance the clock.
    ASSERT_TRUE(sendRequest(*q, sensorStatusReq));
    auto st = nextAs<sensorStatusRepMsg>(sensorStatusRep);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->status.firstTimeStamp, 946681201000ULL);
    EXPECT_EQ(st->status.curTimeStamp, 946681203000ULL);
    ASSERT_TRUE(sendRequest(*q, sensorGetDataReq));
    auto d4 = nextAs<sensorDataRepMsg>(sensorGetDataRep);
    ASSERT_NE(d4, nullptr);
    EXPECT_EQ(d4->curTime, 946681204000ULL);
    ASSERT_TRUE(sendRequest(*q, sensorShutdownReq));
    EXPECT_NE(nextAs<sensorMsgHdr>(sensorShutdownRep), nullptr);
}

TEST_F(SensorStubTest, SampleWithoutDataIsAnsweredByAStatusThatSettlesTheRequest) {
    sensorQueue_t* q = start();
    ASSERT_NE(q, nullptr);
    sensor.noData = true;
    sensor.statusCode = 7;
    ASSERT_TRUE(sendRequest(*q, sensorGetDataReq));
    auto st = nextAs<sensorStatusRepMsg>(sensorStatusRep);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->status.errCode, 7);
    EXPECT_EQ(st->status.numReports, 0u);
    EXPECT_EQ(st->inReplyTo, sensorGetDataReq);
    // Without this the controller would count the request as outstanding forever.
    EXPECT_TRUE(settlesDataRequest(*st));

    sensor.noData = false;
    sensor.statusCode = 0;
    ASSERT_TRUE(sendRequest(*q, sensorGetDataReq));
    EXPECT_NE(nextAs<sensorDataRepMsg>(sensorGetDataRep), nullptr);
    ASSERT_TRUE(sendRequest(*q, sensorStatusReq));
    st = nextAs<sensorStatusRepMsg>(sensorStatusRep);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->status.errCode, 0);
    EXPECT_EQ(st->status.numReports, 1u);
    ASSERT_TRUE(sendRequest(*q, sensorShutdownReq));
    EXPECT_NE(nextAs<sensorMsgHdr>(sensorShutdownRep), nullptr);
}

TEST_F(SensorStubTest, UnknownCommandsAreDroppedWithoutReply) {
    sensorQueue_t* q = start();
    ASSERT_NE(q, nullptr);
    ASSERT_TRUE(sendEvent(*q, sensorUpdatePeriod, SensorID::Load));
    ASSERT_TRUE(sendRequest(*q, sensorUpdateRemoteFSmonitor));
    ASSERT_TRUE(sendRequest(*q, static_cast<msgCmd>(42)));
    ASSERT_TRUE(sendRequest(*q, sensorGetDataRep));
    // The first reply is the one to the status request sent after them.
    ASSERT_TRUE(sendRequest(*q, sensorStatusReq));
    EXPECT_NE(nextAs<sensorStatusRepMsg>(sensorStatusRep), nullptr);
    ASSERT_TRUE(sendRequest(*q, sensorShutdownReq));
    EXPECT_NE(nextAs<sensorMsgHdr>(sensorShutdownRep), nullptr);
}

TEST_F(SensorStubTest, ClosedQueueEndsTheThreadWithoutShutdownOrReply) {
    sensorQueue_t* q = start();
    ASSERT_NE(q, nullptr);
    q->close();
    SensorStub::waitUntilSensorsTerminate();
    EXPECT_EQ(sensor.shutdowns, 0);
    EXPECT_TRUE(noMoreReplies());
}

TEST_F(SensorStubTest, FailedRegistrationEndsTheThreadWithoutTouchingTheSensor) {
    ctrl.close();
    ASSERT_EQ(SensorStub::executeSensor(sensor, ctrl, 0, 0), 0);
    SensorStub::waitUntilSensorsTerminate();
    EXPECT_EQ(sensor.inits, 0);
    EXPECT_EQ(sensor.samples, 0);
    EXPECT_EQ(sensor.shutdowns, 0);
}

TEST_F(SensorStubTest, RepliesToAClosedControllerQueueDoNotEndTheThread) {
    sensorQueue_t* q = start();
    ASSERT_NE(q, nullptr);
    ctrl.close();
    ASSERT_TRUE(sendRequest(*q, sensorGetDataReq));
    ASSERT_TRUE(sendRequest(*q, sensorStatusReq));
    ASSERT_TRUE(sendRequest(*q, sensorShutdownReq));
    SensorStub::waitUntilSensorsTerminate();
    EXPECT_EQ(sensor.samples, 1);
    EXPECT_EQ(sensor.shutdowns, 1);
}

TEST_F(SensorStubTest, WaitEndsStubsThatNeverGotAShutdown) {
    FakeSensor other;
    ASSERT_NE(start(), nullptr);
    ASSERT_EQ(SensorStub::executeSensor(other, ctrl, 0, 0), 0);
    EXPECT_EQ(SensorStub::stubList.size(), 2u);
    // Both threads wait on their queues; the wait must not hang on them.
    SensorStub::waitUntilSensorsTerminate();
    EXPECT_TRUE(SensorStub::stubList.empty());
    EXPECT_EQ(other.shutdowns, 0);
}

TEST_F(SensorStubTest, RequestsQueuedBehindAShutdownAreFreed) {
    sensorQueue_t* q = start();
    ASSERT_NE(q, nullptr);
    ASSERT_TRUE(sendRequest(*q, sensorShutdownReq));
    // Whichever of these still gets in after the shutdown is left in the
    // stub's queue; deleting the stub frees it (LeakSanitizer checks).
    sendRequest(*q, sensorStatusReq);
    sendRequest(*q, sensorGetDataReq);
    EXPECT_NE(nextAs<sensorMsgHdr>(sensorShutdownRep), nullptr);
    SensorStub::waitUntilSensorsTerminate();
    EXPECT_EQ(sensor.samples, 0);
}

}  // namespace
