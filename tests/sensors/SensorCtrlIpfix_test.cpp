// The controller's IPFIX packets, byte for byte, sent to collectors that are
// socket pairs; the strict test decoder checks every message as well.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>

#include "CtrlTestSupport.h"
#include "IpfixDecoder.h"
#include "SensorCtrl.h"
#include "SilentListener.h"

namespace {

using ctrltest::FakeSensor;
using ctrltest::PairCollector;
using U = PairCollector;

constexpr uint32_t kTime = 1700000000;

// A row of 168 bytes in 15 metrics: the 112-byte row header, ten u32 and two
// u64 metrics.
std::vector<MetricsMetadata> fifteenMetrics() {
    std::vector<MetricsMetadata> t = ctrltest::table(6000, 10);
    t.push_back(ctrltest::metric("fake_u64_a", 6100, DT_UINT_64, 8));
    t.push_back(ctrltest::metric("fake_u64_b", 6101, DT_UINT_64, 8));
    return t;
}

class SensorCtrlIpfix : public ::testing::Test {
  protected:
    void SetUp() override {
        SensorCtrl::config = nullptr;
        IPFIXTemplSet::templIDCounter = 1000;
        ctrl = std::make_unique<SensorCtrl>();
    }

    // The sensor is owned by the controller's block.
    FakeSensor* add(SensorID::SensorID id, const std::vector<MetricsMetadata>& t,
                    const std::vector<uint32_t>& counts) {
        auto* s = new FakeSensor(id, t, counts);
        EXPECT_TRUE(ctrl->addSensor(s, nullptr));
        return s;
    }

    PairCollector& collector() {
        collectors.push_back(std::make_unique<PairCollector>());
        ctrl->links.sockets.push_back(collectors.back()->socket);
        return *collectors.back();
    }

    SensorCtrlBlock* block(size_t i) { return ctrl->sensors.at(i); }

    // Decodes the messages in order with one strict decoder (one connection)
    // and returns its error count.
    static uint64_t decodeErrors(const std::vector<std::string>& msgs, std::string* out = nullptr) {
        std::ostringstream text;
        ipfixtool::IpfixDecoder dec(1, text, true);
        for (const std::string& m : msgs)
            dec.decodeMessage(reinterpret_cast<const uint8_t*>(m.data()), m.size());
        if (out != nullptr) *out = text.str();
        return dec.errors();
    }

    std::unique_ptr<SensorCtrl> ctrl;
    std::vector<std::unique_ptr<PairCollector>> collectors;
};

TEST_F(SensorCtrlIpfix, TemplateIdentifiersFollowTheControllersOwn) {
    add(SensorID::TestSensor1, ctrltest::table(6000, 1), {4});
    add(SensorID::TestSensor2, ctrltest::table(6100, 1), {4});
    EXPECT_EQ(block(0)->metaMetricsTemplate.getTemplateID(), 1001);
    EXPECT_EQ(block(0)->metricsTemplate.at(0).getTemplateID(), 1002);
    EXPECT_EQ(block(1)->metaMetricsTemplate.getTemplateID(), 1003);
    EXPECT_EQ(block(1)->metricsTemplate.at(0).getTemplateID(), 1004);
    // A second sensor of one identity is refused and takes no identifier.
    auto dup = std::make_unique<FakeSensor>(SensorID::TestSensor1, ctrltest::table(6000, 1),
                                            std::vector<uint32_t>{4});
    EXPECT_FALSE(ctrl->addSensor(dup.get(), nullptr));
    EXPECT_FALSE(ctrl->addSensor(nullptr, nullptr));
    EXPECT_EQ(ctrl->sensors.size(), 2u);
    EXPECT_EQ(IPFIXTemplSet::templIDCounter, 1005);
}

// 76 + 56 x 15 = 916 bytes of templates, then 16 + 4 + 168 = 188 bytes of
// data; the next sample carries data alone, one sequence number further.
TEST_F(SensorCtrlIpfix, TemplatePacketThenDataPacket) {
    FakeSensor* s = add(SensorID::TestSensor1, fifteenMetrics(), {15});
    PairCollector& c = collector();
    s->setRows(0, 1, '\x07');

    EXPECT_TRUE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    std::vector<std::string> m = c.messages();
    ASSERT_EQ(m.size(), 2u);
    const std::string& t = m[0];
    ASSERT_EQ(t.size(), 916u);
    EXPECT_EQ(U::u16(t, 0), 10);
    EXPECT_EQ(U::u16(t, 2), 916);
    EXPECT_EQ(U::u32(t, 4), kTime);
    EXPECT_EQ(U::u32(t, 8), 0u);
    EXPECT_EQ(U::u32(t, 12), 1u);
    EXPECT_EQ(U::u16(t, 16), 2);  // template set with the metadata template
    EXPECT_EQ(U::u16(t, 18), 48);
    EXPECT_EQ(U::u16(t, 20), 1001);
    EXPECT_EQ(U::u16(t, 22), 5);
    EXPECT_EQ(U::u16(t, 64), 1001);  // metadata rows
    EXPECT_EQ(U::u16(t, 66), 48 * 15 + 4);
    EXPECT_EQ(t.substr(68, 4), std::string("node"));
    EXPECT_EQ(U::u16(t, 68 + 40), METRIC_ID_NODE);
    EXPECT_EQ(U::u16(t, 788), 2);  // template set with the metric template
    EXPECT_EQ(U::u16(t, 790), 8 * 15 + 8);
    EXPECT_EQ(U::u16(t, 792), 1002);
    EXPECT_EQ(U::u16(t, 794), 15);
    EXPECT_EQ(U::u16(t, 796), 0x8000 | METRIC_ID_NODE);
    EXPECT_EQ(U::u16(t, 798), 64);
    EXPECT_EQ(U::u32(t, 800), 2u);

    const std::string& d = m[1];
    ASSERT_EQ(d.size(), 188u);
    EXPECT_EQ(d.substr(0, 16).substr(4), t.substr(4, 12));  // same time, sequence, domain
    EXPECT_EQ(U::u16(d, 2), 188);
    EXPECT_EQ(U::u16(d, 16), 1002);
    EXPECT_EQ(U::u16(d, 18), 172);
    EXPECT_EQ(d.substr(20), std::string(168, '\x07'));
    std::string decoded;
    EXPECT_EQ(decodeErrors(m, &decoded), 0u) << decoded;
    EXPECT_NE(decoded.find("fake_u64_b="), std::string::npos) << decoded;

    EXPECT_TRUE(ctrl->prepareIPFIXPacket(block(0), kTime + 1, s->sets.data()));
    m = c.messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].size(), 188u);
    EXPECT_EQ(U::u32(m[0], 4), kTime + 1);
    EXPECT_EQ(U::u32(m[0], 8), 1u);
}

// 1000 records of 100 bytes: 655 records (65520 bytes), then 345 (34520),
// both with the template packet's sequence number.
TEST_F(SensorCtrlIpfix, LargeSampleSplitsIntoWholeRecords) {
    FakeSensor* s = add(SensorID::TestSensor1, {ROW_HEADER_NODE, ROW_HEADER_SENSOR}, {2});
    PairCollector& c = collector();
    s->setRows(0, 1000);
    for (uint32_t i = 0; i < 1000; ++i) s->rows[0][i * 100] = static_cast<char>(i % 251);

    EXPECT_TRUE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    std::vector<std::string> m = c.messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[1].size(), 65520u);
    EXPECT_EQ(U::u16(m[1], 2), 65520);
    EXPECT_EQ(U::u16(m[1], 18), 655 * 100 + 4);
    EXPECT_EQ(m[2].size(), 34520u);
    EXPECT_EQ(U::u16(m[2], 18), 345 * 100 + 4);
    EXPECT_EQ(U::u32(m[1], 8), U::u32(m[0], 8));
    EXPECT_EQ(U::u32(m[2], 8), U::u32(m[0], 8));
    // The second packet starts with record 655.
    EXPECT_EQ(m[2][20], static_cast<char>(655 % 251));
    EXPECT_EQ(m[2].substr(20), s->rows[0].substr(65500));
    EXPECT_EQ(decodeErrors(m), 0u);
}

// The records of one message take at most 65512 bytes: with 8-byte records
// 8189 fill a message of exactly 65532 bytes and nothing follows; one more
// record goes into a second message.
TEST_F(SensorCtrlIpfix, RecordsExactlyFillingTheRoom) {
    FakeSensor* s =
        add(SensorID::TestSensor1, {ctrltest::metric("fake_u64", 6000, DT_UINT_64, 8)}, {1});
    PairCollector& c = collector();

    s->setRows(0, 8189);
    ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data());
    std::vector<std::string> m = c.messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].size(), 65532u);

    s->setRows(0, 8190);
    ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data());
    m = c.messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].size(), 65532u);
    EXPECT_EQ(m[1].size(), 16u + 4u + 8u);
    EXPECT_EQ(U::u32(m[0], 8), U::u32(m[1], 8));
}

// Rows that would take the whole buffer but the set header must still leave
// room for it: no message exceeds 65535 bytes or wraps its length field.
TEST_F(SensorCtrlIpfix, MessageLengthNeverWraps) {
    FakeSensor* s =
        add(SensorID::TestSensor1, {ctrltest::metric("fake_u32", 6000, DT_UINT_32, 4)}, {1});
    PairCollector& c = collector();
    s->setRows(0, 16379);  // 65516 bytes of records
    ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data());
    std::vector<std::string> m = c.messages();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[1].size(), 65532u);
    EXPECT_EQ(U::u16(m[1], 18), 16378 * 4 + 4);
    EXPECT_EQ(m[2].size(), 24u);
    EXPECT_TRUE(c.pending.empty());
    EXPECT_EQ(decodeErrors(m), 0u);
}

// A virtual sensor without rows still gets its template packet and a data
// packet that is the bare 16-byte header; each virtual sensor has its own
// sequence number.
TEST_F(SensorCtrlIpfix, EmptySecondVirtualSensor) {
    std::vector<MetricsMetadata> t = ctrltest::table(6000, 1);
    const std::vector<MetricsMetadata> second = ctrltest::table(6100, 2);
    t.insert(t.end(), second.begin(), second.end());
    FakeSensor* s = add(SensorID::TestSensor2, t, {4, 5});
    PairCollector& c = collector();
    s->setRows(0, 3);

    EXPECT_TRUE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    std::vector<std::string> m = c.messages();
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0].size(), 76u + 56u * 4);
    EXPECT_EQ(m[1].size(), 16u + 4u + 3 * 116u);
    EXPECT_EQ(m[2].size(), 76u + 56u * 5);
    EXPECT_EQ(U::u16(m[2], 20), 1001);  // the one metadata template
    EXPECT_EQ(U::u16(m[2], 72 + 48 * 5), 1003);
    ASSERT_EQ(m[3].size(), 16u);
    EXPECT_EQ(U::u16(m[3], 2), 16);
    EXPECT_EQ(U::u32(m[0], 8), 0u);
    EXPECT_EQ(U::u32(m[1], 8), 0u);
    EXPECT_EQ(U::u32(m[2], 8), 1u);
    EXPECT_EQ(U::u32(m[3], 8), 1u);
    EXPECT_EQ(decodeErrors(m), 0u);
}

// Rows whose length differs from the template are not sent, and the other
// virtual sensor still is.
TEST_F(SensorCtrlIpfix, MismatchedRowLengthIsNotSent) {
    ctrltest::TempDir dir;
    ctrltest::LogCapture log(dir);
    std::vector<MetricsMetadata> t = ctrltest::table(6000, 1);
    const std::vector<MetricsMetadata> second = ctrltest::table(6100, 1);
    t.insert(t.end(), second.begin(), second.end());
    FakeSensor* s = add(SensorID::TestSensor2, t, {4, 4});
    PairCollector& c = collector();
    s->setRows(0, 2);
    s->setRows(1, 2);
    s->sets[0].setLength = 117;  // the template says 116

    EXPECT_FALSE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    std::vector<std::string> m = c.messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(U::u16(m[0], 72 + 48 * 4), 1003);
    EXPECT_EQ(m[1].size(), 16u + 4u + 2 * 116u);
    EXPECT_EQ(U::u16(m[1], 16), 1003);
    EXPECT_EQ(ctrltest::LogCapture::count(log.text(),
                                          "[Error  ] SensorCtrl: Template length: 116, data set "
                                          "length: 117"),
              1u);
}

// Templates that cannot fit into one message are not sent in part.
TEST_F(SensorCtrlIpfix, TemplatesTooLargeForOneMessageAreNotSent) {
    FakeSensor* s = add(SensorID::TestSensor1, ctrltest::table(6000, 1200), {1203});
    PairCollector& c = collector();
    s->setRows(0, 1);
    EXPECT_FALSE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    EXPECT_TRUE(c.messages().empty());
    EXPECT_TRUE(c.pending.empty());
}

// A collector that fails costs the others nothing: the healthy one gets
// every packet of every virtual sensor of the sample.
TEST_F(SensorCtrlIpfix, FailedCollectorDoesNotStopTheOthers) {
    std::vector<MetricsMetadata> t = {ROW_HEADER_NODE, ROW_HEADER_SENSOR};
    const std::vector<MetricsMetadata> second = ctrltest::table(6100, 1);
    t.insert(t.end(), second.begin(), second.end());
    FakeSensor* s = add(SensorID::TestSensor2, t, {2, 4});
    PairCollector& broken = collector();
    PairCollector& healthy = collector();
    broken.hangUp();
    s->setRows(0, 1000);
    s->setRows(1, 1);

    EXPECT_FALSE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    std::vector<std::string> m = healthy.messages();
    ASSERT_EQ(m.size(), 5u);
    EXPECT_EQ(m[1].size(), 65520u);
    EXPECT_EQ(m[2].size(), 34520u);
    EXPECT_EQ(m[4].size(), 16u + 4u + 116u);
    EXPECT_EQ(decodeErrors(m), 0u);
}

// Template state is kept per connection and virtual sensor; forgetting one
// connection leaves the others alone.
TEST_F(SensorCtrlIpfix, TemplateSentStatePerConnection) {
    std::vector<MetricsMetadata> t = ctrltest::table(6000, 1);
    const std::vector<MetricsMetadata> second = ctrltest::table(6100, 1);
    t.insert(t.end(), second.begin(), second.end());
    add(SensorID::TestSensor2, t, {4, 4});
    SensorCtrlBlock* b = block(0);
    const Socket* a = reinterpret_cast<const Socket*>(0x1000);
    const Socket* c = reinterpret_cast<const Socket*>(0x2000);
    EXPECT_FALSE(b->isTemplateSent(a, 0));
    b->setTemplateSent(a, 0, true);
    b->setTemplateSent(a, 1, true);
    b->setTemplateSent(c, 1, true);
    EXPECT_TRUE(b->isTemplateSent(a, 1));
    EXPECT_FALSE(b->isTemplateSent(c, 0));
    ctrl->links.forgetTemplates(a);
    EXPECT_FALSE(b->isTemplateSent(a, 0));
    EXPECT_FALSE(b->isTemplateSent(a, 1));
    EXPECT_TRUE(b->isTemplateSent(c, 1));
}

// After a broken connection the next one gets the templates first again.
TEST_F(SensorCtrlIpfix, TemplatesAgainAfterAFailedSend) {
    FakeSensor* s = add(SensorID::TestSensor1, ctrltest::table(6000, 1), {4});
    PairCollector& c = collector();
    s->setRows(0, 1);
    EXPECT_TRUE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    EXPECT_EQ(c.messages().size(), 2u);
    EXPECT_TRUE(block(0)->isTemplateSent(c.socket, 0));
    c.hangUp();
    EXPECT_FALSE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    EXPECT_FALSE(block(0)->isTemplateSent(c.socket, 0));
    EXPECT_EQ(c.socket->sockFD, -1);
}

// Collectors whose hosts never answer the handshake cost a live collector
// beside them neither samples nor time: pending connects are looked at
// without waiting.
TEST_F(SensorCtrlIpfix, UnansweredConnectsDoNotDelayALiveCollector) {
    FakeSensor* s = add(SensorID::TestSensor1, ctrltest::table(6000, 1), {4});
    s->setRows(0, 1);
    std::vector<std::unique_ptr<nettest::SilentListener>> silent;
    for (int i = 0; i < 25; ++i) {
        silent.push_back(std::make_unique<nettest::SilentListener>());
        ASSERT_FALSE(silent.back()->port.empty());
        auto* socket = new Socket("127.0.0.1", silent.back()->port);
        ctrl->links.sockets.push_back(socket);
        ASSERT_TRUE(socket->connectAsync());
    }
    if (!silent[0]->silent()) GTEST_SKIP() << "the kernel answers a full accept queue";
    PairCollector& live = collector();

    const auto begin = std::chrono::steady_clock::now();
    for (int sample = 0; sample < 10; ++sample)
        EXPECT_FALSE(ctrl->prepareIPFIXPacket(block(0), kTime + sample, s->sets.data()));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_LT(seconds, 1.0);  // a 50 ms wait for each pending one: 12.5 s
    const std::vector<std::string> m = live.messages();
    ASSERT_EQ(m.size(), 11u);  // the template packet once, then every sample
    for (int sample = 0; sample < 10; ++sample)
        EXPECT_EQ(U::u32(m[sample + 1], 8), static_cast<uint32_t>(sample));
    for (size_t i = 0; i < 25; ++i) EXPECT_TRUE(ctrl->links.sockets[i]->isConnecting());
}

// A sample refused for its size takes no sequence number, and each refusal
// is logged once until a sample of that virtual sensor goes out again.
TEST_F(SensorCtrlIpfix, RefusedSamplesTakeNoSequenceNumberAndLogOnce) {
    ctrltest::TempDir dir;
    ctrltest::LogCapture log(dir);
    FakeSensor* big = add(SensorID::TestSensor1, ctrltest::table(6000, 1200), {1203});
    FakeSensor* s = add(SensorID::TestSensor2, ctrltest::table(6100, 1), {4});
    PairCollector& c = collector();
    big->setRows(0, 1);
    s->setRows(0, 1);
    struct Step {
        FakeSensor* sensor;
        uint32_t setLength;  // 0: the template's
        bool sent;
    };
    const Step steps[] = {
        {big, 0, false},  // templates too large: refused, logged
        {big, 0, false},  // refused again, not logged again
        {s, 117, false},  // rows of the wrong length: refused, logged
        {s, 117, false},  // not logged again
        {s, 0, true},     // goes out: the refusal is over
        {s, 117, false},  // a new refusal, logged again
        {s, 0, true},
    };
    std::vector<uint32_t> sequence;
    for (const Step& step : steps) {
        SCOPED_TRACE(&step - steps);
        if (step.sensor == s) s->sets[0].setLength = step.setLength != 0 ? step.setLength : 116;
        SensorCtrlBlock* b = block(step.sensor == big ? 0 : 1);
        EXPECT_EQ(ctrl->prepareIPFIXPacket(b, kTime, step.sensor->sets.data()), step.sent);
        for (const std::string& msg : c.messages()) sequence.push_back(U::u32(msg, 8));
        // Keeps the logging backend from folding repeated lines into one.
        ctrl->logger->logInfo("step %d", static_cast<int>(&step - steps));
    }
    EXPECT_EQ(sequence, (std::vector<uint32_t>{0, 0, 1}));  // template + data, then data
    const std::string text = log.text();
    EXPECT_EQ(ctrltest::LogCapture::count(text, "SensorCtrl: Templates of sensor TestSensor1"), 1u);
    EXPECT_EQ(ctrltest::LogCapture::count(text,
                                          "SensorCtrl: Template length: 116, data set "
                                          "length: 117"),
              2u);
}

TEST_F(SensorCtrlIpfix, NoCollectorIsSuccess) {
    FakeSensor* s = add(SensorID::TestSensor1, ctrltest::table(6000, 1), {4});
    s->setRows(0, 1);
    EXPECT_TRUE(ctrl->prepareIPFIXPacket(block(0), kTime, s->sets.data()));
    ctrl->links.beginSample(nullptr);
    EXPECT_TRUE(ctrl->links.deliver(block(0), "", 0, "", 0, 0, false));
}

}  // namespace
