// Post and Send round trips of a MessageClient through in-process bus servers to a receiver
// that answers every message at once, with bodies of 16 B and 40 KiB and default socket
// options. Each benchmark reports the rate and the p50/p99 latency of one round trip.
#include "tessary/client/MessageClient.h"
#include "testkit/BusClient.h"
#include "testkit/EmbeddedBus.h"
#include "testkit/RawFrameReceiver.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using ORVEX::Tessary::Controller::MessageClient;

namespace {

// One bus server and one registered receiver for the whole run.
struct Bus {
    Bus() {
        server = StartBus(BusOptions(1));
        if (!server) {
            return;
        }
        receiver = std::make_unique<RawFrameReceiver>("bench_rx", server->StatusPort(0), false);
        ready = receiver->Start();
        receiver->SetReply("ok");
    }
    // The receiver goes before the bus server.
    std::unique_ptr<busd::BusServer> server;
    std::unique_ptr<RawFrameReceiver> receiver;
    bool ready = false;
};

Bus& TheBus() {
    static Bus bus;
    return bus;
}

void Report(benchmark::State& state, std::vector<double>& micros, int64_t bodyBytes) {
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
        // A 40 ms stall (a frame's last segment waiting for a delayed acknowledgement) shows
        // here long before it moves the percentiles.
        state.counters["max_us"] = micros.back();
        state.counters["over_30ms"] = static_cast<double>(
            micros.end() - std::lower_bound(micros.begin(), micros.end(), 30000.0));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * bodyBytes);
}

// Posts are confirmed by the bus server alone, so a sender can run ahead of the receiver;
// after this many the run waits until the receiver has them all. The rate reported is thus
// the rate at which posts are delivered, not only accepted.
constexpr uint64_t PostWindow = 32;

bool WaitDelivered(const RawFrameReceiver& receiver, uint64_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (receiver.MessageCount() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

template <bool WithAck> void BM_RoundTrip(benchmark::State& state) {
    Bus& bus = TheBus();
    if (!bus.ready) {
        state.SkipWithError("bus server or receiver did not start");
        return;
    }
    BusClient<MessageClient> client;
    client.UseBus(bus.server->CommandPort(), 1);
    client.SetSourceID("bench_tx");
    const DString body(std::string(static_cast<size_t>(state.range(0)), 'b'));
    std::vector<double> micros;
    micros.reserve(1 << 16);
    uint64_t expected = bus.receiver->MessageCount();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = WithAck ? client.Send("bench_rx", 7000, body, 5000)
                                : client.Post("bench_rx", 7000, body);
        const auto stop = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError("round trip failed");
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(stop - start).count());
        ++expected;
        if (!WithAck && expected % PostWindow == 0 && !WaitDelivered(*bus.receiver, expected)) {
            state.SkipWithError("posts were not delivered");
            break;
        }
    }
    if (!WithAck && !WaitDelivered(*bus.receiver, expected)) {
        state.SkipWithError("posts were not delivered");
    }
    Report(state, micros, state.range(0));
}

} // namespace

BENCHMARK_TEMPLATE(BM_RoundTrip, false)->Name("Post")->Arg(16)->Arg(40 << 10)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RoundTrip, true)->Name("Send")->Arg(16)->Arg(40 << 10)->UseRealTime();

BENCHMARK_MAIN();
