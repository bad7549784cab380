#include "sensorProto.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <thread>

namespace {

TEST(SensorProto, SendHelpersBuildTheRecords) {
    sensorQueue_t q;
    sensorMsgHdr* msg = nullptr;

    ASSERT_TRUE(sendRequest(q, sensorInitReq));
    ASSERT_EQ(getMsg(q, msg, 0), 0);
    EXPECT_EQ(msg->command, sensorInitReq);
    EXPECT_EQ(msg->sensorID, SensorID::Controller);
    EXPECT_EQ(msg->repCode, 0);
    EXPECT_EQ(msg->totalLen, sizeof(sensorMsgHdr));
    delete msg;

    ASSERT_TRUE(sendReply(q, sensorInitRep, 5, SensorID::CPU));
    ASSERT_TRUE(sendEvent(q, sensorUpdatePeriod, SensorID::Load));
    ASSERT_EQ(getMsg(q, msg, 0), 0);
    EXPECT_EQ(msg->repCode, 5);
    EXPECT_EQ(msg->sensorID, SensorID::CPU);
    delete msg;
    ASSERT_EQ(getMsg(q, msg, 0), 0);
    EXPECT_EQ(msg->command, sensorUpdatePeriod);
    EXPECT_EQ(msg->sensorID, SensorID::Load);
    delete msg;

    const dataSet_t sets[1] = {{1, 8, "12345678"}};
    ASSERT_TRUE(sendMetrics(q, sensorGetDataRep, 2000, 1000, sets, SensorID::CPU));
    ASSERT_EQ(getMsg(q, msg, 0), 0);
    auto* data = dynamic_cast<sensorDataRepMsg*>(msg);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->curTime, 2000u);
    EXPECT_EQ(data->lastTime, 1000u);
    EXPECT_EQ(data->data, sets);
    EXPECT_EQ(data->totalLen, sizeof(sensorDataRepMsg));
    EXPECT_TRUE(settlesDataRequest(*msg));
    delete msg;

    const sensorStatus st = {3, 4, 5, 6};
    ASSERT_TRUE(sendStatus(q, sensorStatusRep, &st, SensorID::CPU));
    ASSERT_TRUE(sendStatus(q, sensorStatusRep, nullptr, SensorID::CPU, sensorGetDataReq));
    ASSERT_EQ(getMsg(q, msg, 0), 0);
    auto* status = dynamic_cast<sensorStatusRepMsg*>(msg);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->status.errCode, 3);
    EXPECT_EQ(status->status.curTimeStamp, 6u);
    EXPECT_EQ(status->inReplyTo, sensorStatusReq);
    EXPECT_FALSE(settlesDataRequest(*msg));
    delete msg;
    ASSERT_EQ(getMsg(q, msg, 0), 0);
    status = dynamic_cast<sensorStatusRepMsg*>(msg);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->status.numReports, 0u);
    EXPECT_TRUE(settlesDataRequest(*msg));
    delete msg;

    sensorQueue_t own;
    ASSERT_TRUE(sendRegister(q, &own, SensorID::Memory));
    ASSERT_EQ(getMsg(q, msg, 0), 0);
    EXPECT_EQ(msg->command, sensorStartedEvent);
    auto* reg = dynamic_cast<sensorRegisterMsg*>(msg);
    ASSERT_NE(reg, nullptr);
    EXPECT_EQ(reg->sensorQueue, &own);
    EXPECT_FALSE(settlesDataRequest(*msg));
    delete msg;
}

TEST(SensorProto, SendsOntoAClosedQueueFailAndFreeTheMessage) {
    sensorQueue_t q, own;
    q.close();
    const sensorStatus st = {};
    // LeakSanitizer checks that each refused message was deleted.
    EXPECT_FALSE(sendRequest(q, sensorInitReq));
    EXPECT_FALSE(sendEvent(q, sensorUpdatePeriod, SensorID::CPU));
    EXPECT_FALSE(sendReply(q, sensorInitRep, 0, SensorID::CPU));
    EXPECT_FALSE(sendMetrics(q, sensorGetDataRep, 1, 0, nullptr, SensorID::CPU));
    EXPECT_FALSE(sendStatus(q, sensorStatusRep, &st, SensorID::CPU));
    EXPECT_FALSE(sendRegister(q, &own, SensorID::CPU));
    EXPECT_EQ(q.size(), 0u);
}

TEST(SensorProto, GetMsgResults) {
    sensorQueue_t q;
    sensorMsgHdr* msg = reinterpret_cast<sensorMsgHdr*>(&q);  // any non-null value

    EXPECT_EQ(getMsg(q, msg, 0), -1);
    EXPECT_EQ(msg, nullptr);

    struct timeval t0, t1;
    gettimeofday(&t0, nullptr);
    EXPECT_EQ(getMsg(q, msg, 1100000), -1);  // seconds and microseconds both used
    gettimeofday(&t1, nullptr);
    const long long waited = (t1.tv_sec - t0.tv_sec) * 1000000LL + (t1.tv_usec - t0.tv_usec);
    EXPECT_GE(waited, 1090000);

    // Messages queued before the close are still delivered, then 2.
    ASSERT_TRUE(sendRequest(q, sensorInitReq));
    ASSERT_TRUE(sendRequest(q, sensorStatusReq));
    q.close();
    ASSERT_EQ(getMsg(q, msg, -1), 0);
    EXPECT_EQ(msg->command, sensorInitReq);
    delete msg;
    ASSERT_EQ(getMsg(q, msg, -1), 0);
    EXPECT_EQ(msg->command, sensorStatusReq);
    delete msg;
    EXPECT_EQ(getMsg(q, msg, -1), 2);
    EXPECT_EQ(getMsg(q, msg, 0), 2);
    EXPECT_EQ(msg, nullptr);
}

TEST(SensorProto, GetMsgOnAQueueClosedWhileWaitingReturns9) {
    for (int64_t timeout : {int64_t{-1}, int64_t{10000000}}) {
        sensorQueue_t q;
        sensorMsgHdr* msg = nullptr;
        int rc = 0;
        std::thread waiter([&] { rc = getMsg(q, msg, timeout); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        q.close();
        waiter.join();
        EXPECT_EQ(rc, 9) << "time-out " << timeout;
        EXPECT_EQ(msg, nullptr);
    }
}

}  // namespace
