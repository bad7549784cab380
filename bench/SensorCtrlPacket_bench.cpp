// The controller's IPFIX encoding and hand-over of one sample to a collector
// that is a socket pair drained by another thread: template and data packets
// built from the sensor's rows and sent whole. Baselines: a plain memcpy of
// the same rows, and memcpy plus send in the same message-sized chunks.
// The last argument picks the collector's end: 0 a socket pair, 1 a TCP
// connection over loopback, as the daemon's collectors are.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "CtrlTestSupport.h"
#include "SensorCtrl.h"

namespace {

using ctrltest::FakeSensor;

// A row of `bytes` bytes (100 or more, a multiple of 4): node and sensor
// names, then u32 metrics.
std::vector<MetricsMetadata> rowOf(uint32_t bytes) {
    std::vector<MetricsMetadata> t = {ROW_HEADER_NODE, ROW_HEADER_SENSOR};
    for (uint32_t i = 0; i < (bytes - 100) / 4; ++i)
        t.push_back(
            ctrltest::metric("bench_value", static_cast<uint16_t>(6000 + i), DT_UINT_32, 4));
    return t;
}

// A connected pair of descriptors: fds[0] the sender's, fds[1] the
// collector's. False when no pair could be made.
bool connectPair(bool tcp, int fds[2]) {
    if (!tcp) return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) return false;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bool ok = bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    fds[0] = ok ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    ok = ok && fds[0] >= 0 &&
         connect(fds[0], reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    fds[1] = ok ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    close(listener);
    if (fds[1] >= 0) return true;
    if (fds[0] >= 0) close(fds[0]);
    return false;
}

// Reads and drops everything the controller sends.
class Drain {
  public:
    explicit Drain(int fd)
        : fd_(fd), thread_([this] {
              std::vector<char> buf(1 << 20);
              while (read(fd_, buf.data(), buf.size()) > 0) {
              }
          }) {}
    ~Drain() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
    }

  private:
    int fd_;
    std::thread thread_;
};

void BM_PrepareIPFIXPacket(benchmark::State& state) {
    const uint32_t records = static_cast<uint32_t>(state.range(0));
    const uint32_t recordLen = static_cast<uint32_t>(state.range(1));
    SensorCtrl::config = nullptr;
    auto ctrl = std::make_unique<SensorCtrl>();
    const std::vector<MetricsMetadata> t = rowOf(recordLen);
    auto* sensor = new FakeSensor(SensorID::TestSensor1, t, {static_cast<uint32_t>(t.size())});
    ctrl->addSensor(sensor, nullptr);
    sensor->setRows(0, records);
    int fds[2];
    if (!connectPair(state.range(2) != 0, fds)) {
        state.SkipWithError("no connection");
        return;
    }
    Socket* socket = new Socket(fds[0], nullptr, nullptr);
    socket->connected = true;
    ctrl->links.sockets.push_back(socket);
    auto drain = std::make_unique<Drain>(fds[1]);
    SensorCtrlBlock* block = ctrl->sensors[0];

    for (auto _ : state) {
        if (!ctrl->prepareIPFIXPacket(block, 1700000000, sensor->sets.data())) {
            state.SkipWithError("hand-over failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * records);
    state.SetBytesProcessed(state.iterations() * records * recordLen);
    ctrl.reset();
    drain.reset();
    close(fds[1]);
}
BENCHMARK(BM_PrepareIPFIXPacket)
    ->Args({20, 160, 0})
    ->Args({1000, 100, 0})
    ->Args({20, 160, 1})
    ->Args({1000, 100, 1})
    ->UseRealTime();

void BM_MemcpyRows(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) * state.range(1);
    std::vector<char> rows(bytes, 'x'), out(bytes);
    for (auto _ : state) {
        std::memcpy(out.data(), rows.data(), bytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_MemcpyRows)->Args({20, 160})->Args({1000, 100});

// The same rows copied into message-sized chunks and sent, as the controller
// does, without any encoding.
void BM_MemcpyAndSend(benchmark::State& state) {
    const size_t bytes = static_cast<size_t>(state.range(0)) * state.range(1);
    const size_t room = IPFIXPacket::MAX_RECORDS_LEN / state.range(1) * state.range(1);
    std::vector<char> rows(bytes, 'x'), packet(IPFIXPacket::PACKET_BUFFER_LEN);
    int fds[2];
    if (!connectPair(state.range(2) != 0, fds)) {
        state.SkipWithError("no connection");
        return;
    }
    {
        Drain drain(fds[1]);
        for (auto _ : state) {
            for (size_t at = 0; at < bytes; at += room) {
                const size_t n = std::min(room, bytes - at);
                std::memcpy(packet.data() + 20, rows.data() + at, n);
                if (send(fds[0], packet.data(), n + 20, MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(n + 20))
                    state.SkipWithError("send");
            }
        }
    }
    close(fds[0]);
    close(fds[1]);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_MemcpyAndSend)
    ->Args({20, 160, 0})
    ->Args({1000, 100, 0})
    ->Args({20, 160, 1})
    ->Args({1000, 100, 1})
    ->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
