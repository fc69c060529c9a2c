#include "tools/BenchRun.h"

#include "tools/BusClients.h"
#include "tools/ErrorTrap.h"
#include "tools/LatencySampler.h"

#include "tessary/client/BLOBClient.h"
#include "tessary/client/BLOBStreamClient.h"
#include "tessary/receiver/BLOBReceiver.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <latch>
#include <mutex>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

namespace tool {

namespace {

using ORVEX::Tessary::Controller::BLOBClient;
using ORVEX::Tessary::Controller::BLOBReceiver;
using ORVEX::Tessary::Controller::BLOBStreamClient;
using ORVEX::Tessary::Controller::BUSStream;
using Clock = std::chrono::steady_clock;

constexpr unsigned long BenchCommandCode = 7700;
constexpr auto OnlineBound = std::chrono::seconds(5);
// Posts still missing at the receiver once it has gone this long without a new one are lost.
constexpr auto DrainBound = std::chrono::seconds(5);
constexpr auto ProgressStep = std::chrono::milliseconds(50);
// A streamed BLOB is written in pieces of this size, the size of a BLOB sender's own writes.
constexpr int64_t StreamPiece = 1 << 20;

// Ids are cut to 16 bytes on the wire; with the process id in them, two benches on one bus
// do not mix their traffic.
std::string ReceiverID() {
    return fmt::format("bench-rx-{}", getpid());
}

std::string SenderID(int index) {
    return fmt::format("btx-{}-{}", getpid(), index);
}

int64_t Nanoseconds(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

int64_t Stamp(Clock::time_point point) {
    return Nanoseconds(point.time_since_epoch());
}

} // namespace

const char* BenchModeName(BenchMode mode) {
    switch (mode) {
    case BenchMode::Send:
        return "send";
    case BenchMode::Post:
        return "post";
    case BenchMode::BLOB:
        return "blob";
    case BenchMode::Stream:
        return "stream";
    }
    return "";
}

// Counts what arrives and answers every send and BLOB with an empty acknowledgement (the
// default answer of a handler that leaves the record alone). Handlers run on the wait
// servers' threads, one per bus server.
class BenchRun::Receiver : public BusReceiver<BLOBReceiver> {
public:
    Receiver(const BusOptions& bus, bool tcpNoDelay) : BusReceiver<BLOBReceiver>(bus) {
        SetSourceID(ReceiverID().c_str());
        SetTcpNoDelay(tcpNoDelay);
        const C11DelegateHandler<EventArgs_BUSMessage> count(
            [this](const void*, EventArgs_BUSMessage*) { Count(); });
        MessageEvent.Add(static_cast<int>(BenchCommandCode), count);
        BLOBEvent.Add(static_cast<int>(BenchCommandCode), count);
        ServerOnlineEvent.Add(C11DelegateHandler<EventArgs_Int>([this](const void*, EventArgs_Int* e) {
            if (e != nullptr) {
                std::lock_guard<std::mutex> lock(m_Mutex);
                m_OnlinePorts.insert(e->Value);
            }
        }));
    }
    // The handlers use this object's members.
    ~Receiver() override { StopWait(); }

    size_t OnlineCount() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_OnlinePorts.size();
    }
    uint64_t Delivered() const { return m_Delivered.load(); }
    // Steady-clock time of the latest delivery, in nanoseconds; 0 before the first.
    int64_t LastDelivery() const { return m_LastDelivery.load(); }

private:
    void Count() {
        const int64_t now = Stamp(Clock::now());
        // Several wait servers count at once: keep the latest time, whichever finishes last.
        int64_t last = m_LastDelivery.load();
        while (last < now && !m_LastDelivery.compare_exchange_weak(last, now)) {
        }
        m_Delivered.fetch_add(1);
    }

    std::atomic<uint64_t> m_Delivered{0};
    std::atomic<int64_t> m_LastDelivery{0};
    mutable std::mutex m_Mutex;
    std::set<int> m_OnlinePorts;
};

namespace {

// What the sender threads share. Start and Deadline are written before Go opens and only
// read after, so the latch orders them.
struct Shared {
    explicit Shared(int clients) : Ready(clients), Running(clients) {}

    std::latch Ready;
    std::latch Go{1};
    Clock::time_point Start;
    Clock::time_point Deadline = Clock::time_point::max();
    std::atomic<uint64_t> Claimed{0};
    std::atomic<uint64_t> Done{0};
    std::atomic<int> Running;
};

// One sender thread's own results, read by the main thread after the join.
struct SenderOutcome {
    explicit SenderOutcome(uint32_t seed) : Latency(LatencySampler::DefaultCapacity, seed) {}

    LatencySampler Latency;
    Clock::time_point LastSuccess;
    uint64_t Errors = 0;
    std::string Error;
};

} // namespace

BenchRun::BenchRun(const BusOptions& bus, const BusOptions& receiverBus,
                   const BenchSettings& settings)
    : m_Bus(bus), m_ReceiverBus(receiverBus), m_Settings(settings),
      m_Receiver(std::make_unique<Receiver>(receiverBus, settings.TcpNoDelay)) {}

BenchRun::~BenchRun() = default;

bool BenchRun::StartReceiver(std::string& error) {
    m_Receiver->StartWait();
    const size_t servers = static_cast<size_t>(std::max(m_ReceiverBus.Servers, 1));
    const auto deadline = Clock::now() + OnlineBound;
    const auto bound = std::chrono::duration_cast<std::chrono::seconds>(OnlineBound).count();
    while (m_Receiver->OnlineCount() < servers && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (m_Receiver->OnlineCount() < servers) {
        error = fmt::format("the receiver reached {} of {} bus servers at {} (status port {}) "
                            "within {} s; is the bus running there?",
                            m_Receiver->OnlineCount(), servers, m_ReceiverBus.Host,
                            m_ReceiverBus.StatusPort, bound);
        return false;
    }
    if (m_ReceiverBus.StatusPort == m_Bus.StatusPort && m_ReceiverBus.Host == m_Bus.Host) {
        return true;
    }
    // Another node learns of the receiver when its registry next hears from ours.
    BusClient<BLOBClient> probe(m_Bus, SenderID(-1));
    while (!probe.IsOnline(ReceiverID().c_str())) {
        if (Clock::now() >= deadline) {
            error = fmt::format("the senders' bus at {} (command port {}) did not see the "
                                "receiver within {} s; are the two buses federated?",
                                m_Bus.Host, m_Bus.CommandPort, bound);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

namespace {

// C is BLOBStreamClient for streamed BLOBs, BLOBClient for everything else.
template <typename C>
void RunSender(const BusOptions& bus, const BenchSettings& settings, int index, Shared& shared,
               SenderOutcome& outcome) {
    BusClient<C> client(bus, SenderID(index));
    client.SetTcpNoDelay(settings.TcpNoDelay);
    ErrorTrap trap(client, bus, ReceiverID());
    // The payload is made once; every operation sends the same bytes.
    DString body;
    TmplBlockBuffer<unsigned char> blob;
    if (settings.Mode == BenchMode::BLOB || settings.Mode == BenchMode::Stream) {
        std::memset(blob.Allocate(static_cast<int>(settings.Size)), 0x5A,
                    static_cast<size_t>(settings.Size));
    } else {
        body = DString(std::string(static_cast<size_t>(settings.Size), 'b'));
    }
    const std::string target = ReceiverID();
    auto operate = [&]() -> bool {
        if constexpr (std::is_same_v<C, BLOBStreamClient>) {
            return client.SendBLOB(
                target.c_str(), BenchCommandCode,
                [&blob](BUSStream stream) {
                    for (int64_t at = 0; at < blob.Length(); at += StreamPiece) {
                        stream.Write(blob.GetData() + at,
                                     static_cast<int>(std::min(StreamPiece, blob.Length() - at)));
                    }
                },
                settings.TimeOutMs);
        } else {
            switch (settings.Mode) {
            case BenchMode::Send:
                return client.Send(target.c_str(), BenchCommandCode, body, settings.TimeOutMs);
            case BenchMode::Post:
                return client.Post(target.c_str(), BenchCommandCode, body);
            case BenchMode::BLOB:
                return client.SendBLOB(target.c_str(), BenchCommandCode, blob, settings.TimeOutMs);
            case BenchMode::Stream:
                break;
            }
            return false;
        }
    };
    // Connecting and warming up are not part of the measurement.
    bool connected = client.Connect();
    for (int64_t i = 0; connected && i < settings.Warmup; ++i) {
        connected = operate();
    }
    shared.Ready.count_down();
    shared.Go.wait();
    if (!connected) {
        ++outcome.Errors;
        outcome.Error = trap.Describe();
        return;
    }
    for (;;) {
        if (settings.Count > 0 && shared.Claimed.fetch_add(1) >= settings.Count) {
            break;
        }
        const Clock::time_point begin = Clock::now();
        const bool ok = operate();
        const Clock::time_point end = Clock::now();
        if (!ok) {
            // A failure usually repeats at once (bus or receiver gone): this sender stops
            // rather than counting the same cause thousands of times.
            ++outcome.Errors;
            outcome.Error = trap.Describe();
            break;
        }
        outcome.Latency.Add(Nanoseconds(end - begin));
        outcome.LastSuccess = end;
        shared.Done.fetch_add(1, std::memory_order_relaxed);
        if (end >= shared.Deadline) {
            break;
        }
    }
}

} // namespace

uint64_t BenchRun::WaitForDeliveries(uint64_t wanted,
                                     const std::function<void(uint64_t)>& progress) {
    uint64_t seen = m_Receiver->Delivered();
    Clock::time_point moved = Clock::now();
    while (seen < wanted && Clock::now() - moved < DrainBound) {
        if (progress) {
            progress(seen);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const uint64_t now = m_Receiver->Delivered();
        if (now != seen) {
            seen = now;
            moved = Clock::now();
        }
    }
    return seen;
}

BenchResult BenchRun::Run(const std::function<void(uint64_t, double)>& progress) {
    const int clients = m_Settings.Clients;
    Shared shared(clients);
    std::vector<SenderOutcome> outcomes;
    outcomes.reserve(static_cast<size_t>(clients));
    for (int i = 0; i < clients; ++i) {
        outcomes.emplace_back(static_cast<uint32_t>(i + 1));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([this, i, &shared, &outcomes] {
            SenderOutcome& outcome = outcomes[static_cast<size_t>(i)];
            if (m_Settings.Mode == BenchMode::Stream) {
                RunSender<BLOBStreamClient>(m_Bus, m_Settings, i, shared, outcome);
            } else {
                RunSender<BLOBClient>(m_Bus, m_Settings, i, shared, outcome);
            }
            shared.Running.fetch_sub(1);
        });
    }
    shared.Ready.wait();
    // Warm-up posts still on their way would be counted as measured ones.
    const uint64_t warmed = static_cast<uint64_t>(clients) *
                            static_cast<uint64_t>(std::max<int64_t>(m_Settings.Warmup, 0));
    WaitForDeliveries(warmed);
    const uint64_t delivered = m_Receiver->Delivered();
    shared.Start = Clock::now();
    if (m_Settings.DurationSeconds > 0) {
        shared.Deadline = shared.Start + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(
                                                 m_Settings.DurationSeconds));
    }
    shared.Go.count_down();
    auto elapsed = [&shared] {
        return std::chrono::duration<double>(Clock::now() - shared.Start).count();
    };
    while (shared.Running.load() > 0) {
        progress(shared.Done.load(std::memory_order_relaxed), elapsed());
        std::this_thread::sleep_for(ProgressStep);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    BenchResult result;
    std::vector<LatencySampler> samplers;
    Clock::time_point last = shared.Start;
    for (SenderOutcome& outcome : outcomes) {
        result.Operations += outcome.Latency.Count();
        result.Errors += outcome.Errors;
        if (result.FirstError.empty() && !outcome.Error.empty()) {
            result.FirstError = outcome.Error;
        }
        if (outcome.Latency.Count() > 0) {
            last = std::max(last, outcome.LastSuccess);
        }
        samplers.push_back(std::move(outcome.Latency));
    }
    result.Latency = LatencySampler::Merge(samplers);
    result.Seconds = std::chrono::duration<double>(last - shared.Start).count();

    if (m_Settings.Mode == BenchMode::Post) {
        // The bus server took the posts; the run ends when the receiver has them all.
        const uint64_t posted = result.Operations;
        const uint64_t seen =
            WaitForDeliveries(delivered + posted, [&](uint64_t now) {
                progress(now - delivered, elapsed());
            }) - delivered;
        result.Operations = std::min(seen, posted);
        if (seen < posted) {
            result.Errors += posted - seen;
            if (result.FirstError.empty()) {
                result.FirstError = fmt::format(
                    "{} of {} posts that the bus took never reached the receiver",
                    posted - seen, posted);
            }
        }
        if (m_Receiver->LastDelivery() > 0) {
            result.Seconds =
                static_cast<double>(m_Receiver->LastDelivery() - Stamp(shared.Start)) / 1e9;
        }
    }
    return result;
}

} // namespace tool
