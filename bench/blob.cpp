// SendBLOB round trips through an in-process bus server to a BLOBReceiver that acknowledges
// every BLOB with an empty answer: known-size BLOBs (BLOBClient) and the same sizes streamed in
// 1 MiB writes (BLOBStreamClient). The rate is the BLOB bytes delivered and acknowledged per
// second; each iteration is one whole SendBLOB.
#include "tessary/client/BLOBStreamClient.h"
#include "tessary/client/FixedBLOBClient.h"
#include "tessary/receiver/FixedBLOBReceiver.h"
#include "testkit/BusClient.h"
#include "testkit/EmbeddedBus.h"
#include "testkit/Eventually.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

using namespace ORVEX::Tessary::Controller;

namespace {

constexpr unsigned long Command = 7500;
constexpr int64_t MiB = 1 << 20;

// One bus server and one registered BLOBReceiver for the whole run.
struct Bus {
    Bus() {
        busd::BusServerOptions options = BusOptions(1);
        options.MaxFrameBytes = 512 * MiB;
        server = StartBus(options);
        if (!server) {
            return;
        }
        receiver = std::make_unique<FixedBLOBReceiver>(server->StatusPort(), 1);
        receiver->SetSourceID("bench_rx");
        receiver->SetMaxFrameBytes(static_cast<int>(options.MaxFrameBytes));
        receiver->ServerOnlineEvent.Add(C11DelegateHandler<EventArgs_Int>(
            [this](const void*, EventArgs_Int*) { online = true; }));
        receiver->BLOBEvent.Add(static_cast<int>(Command), C11DelegateHandler<EventArgs_BUSMessage>(
                                                               [](const void*, EventArgs_BUSMessage*) {}));
        receiver->StartWait();
        Eventually([this] { return online.load(); }, std::chrono::seconds(5));
    }
    // The receiver stops before the bus server goes.
    ~Bus() {
        if (receiver) {
            receiver->StopWait();
        }
    }
    std::unique_ptr<busd::BusServer> server;
    std::unique_ptr<FixedBLOBReceiver> receiver;
    std::atomic<bool> online{false};
};

Bus& TheBus() {
    static Bus bus;
    return bus;
}

void BM_SendBLOB(benchmark::State& state) {
    Bus& bus = TheBus();
    if (!bus.online) {
        state.SkipWithError("bus server or receiver did not start");
        return;
    }
    FixedBLOBClient client(bus.server->CommandPort(), 1);
    client.SetSourceID("bench_tx");
    const int64_t size = state.range(0);
    TmplBlockBuffer<unsigned char> blob;
    std::memset(blob.Allocate(static_cast<int>(size)), 0x5A, static_cast<size_t>(size));
    for (auto _ : state) {
        if (!client.SendBLOB("bench_rx", Command, blob, 60000)) {
            state.SkipWithError("SendBLOB failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
}

void BM_SendBLOBStream(benchmark::State& state) {
    Bus& bus = TheBus();
    if (!bus.online) {
        state.SkipWithError("bus server or receiver did not start");
        return;
    }
    BusClient<BLOBStreamClient> client;
    client.UseBus(bus.server->CommandPort(), 1);
    client.SetSourceID("bench_stx");
    const int64_t size = state.range(0);
    std::vector<unsigned char> chunk(static_cast<size_t>(std::min(size, MiB)), 0x5A);
    for (auto _ : state) {
        const bool sent = client.SendBLOB(
            "bench_rx", Command,
            [&](BUSStream stream) {
                for (int64_t written = 0; written < size;) {
                    const int64_t n = std::min<int64_t>(MiB, size - written);
                    stream.Write(chunk.data(), static_cast<int>(n));
                    written += n;
                }
            },
            60000);
        if (!sent) {
            state.SkipWithError("SendBLOB failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * size);
}

} // namespace

BENCHMARK(BM_SendBLOB)->Name("SendBLOB")->Arg(MiB)->Arg(256 * MiB)->UseRealTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_SendBLOBStream)->Name("SendBLOBStream")->Arg(MiB)->Arg(256 * MiB)->UseRealTime()->Unit(
    benchmark::kMillisecond);

BENCHMARK_MAIN();
