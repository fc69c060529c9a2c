#pragma once

#include "tools/BusOptions.h"
#include "tools/Percentiles.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tool {

enum class BenchMode { Send, Post, BLOB, Stream };

const char* BenchModeName(BenchMode mode);

struct BenchSettings {
    BenchMode Mode = BenchMode::Send;
    int Clients = 1;
    // Message body (send, post) or BLOB bytes per operation.
    int64_t Size = 16;
    // Operations of all senders together; 0 for no limit.
    uint64_t Count = 0;
    // Seconds the senders run; 0 for no limit (then Count ends the run).
    double DurationSeconds = 5;
    // Wait for each acknowledgement (send, blob), in milliseconds.
    int TimeOutMs = 10000;
    bool TcpNoDelay = false;
    // Operations each sender makes before the clock starts, so that connections, buffers and
    // the pages they use are warm; -1 picks by mode (one BLOB, 1000 messages).
    int64_t Warmup = -1;
};

struct BenchResult {
    // Operations that succeeded (for post: that the receiver got) and those that failed.
    uint64_t Operations = 0;
    uint64_t Errors = 0;
    // From the start of the senders to the last success; for post, to the last delivery.
    double Seconds = 0;
    // Per operation, in nanoseconds: until the acknowledgement (send, blob) or until the bus
    // server took the frame (post).
    LatencySummary Latency;
    // Why the first failure failed, in the library's words; empty without failures.
    std::string FirstError;
};

// One measurement: a receiver in this process registered on the bus, and Clients sender
// threads, each with a client object of its own and its payload allocated once, sending to it
// as fast as the acknowledgements (or for post, the bus server) let them. The receiver may
// register on another bus than the senders use, another node of a federation.
class BenchRun {
public:
    BenchRun(const BusOptions& bus, const BusOptions& receiverBus, const BenchSettings& settings);
    BenchRun(const BenchRun&) = delete;
    BenchRun& operator=(const BenchRun&) = delete;
    ~BenchRun();

    // Starts the receiver and waits (a few seconds at most) until every bus server announced
    // it and the senders' bus knows it; false with the reason in error otherwise.
    bool StartReceiver(std::string& error);

    // Runs the senders to the end. progress(operations so far, seconds so far) is called on
    // the calling thread about every 50 ms while they run.
    BenchResult Run(const std::function<void(uint64_t, double)>& progress);

private:
    class Receiver;

    // Waits until the receiver has wanted deliveries in all, or none came for a while; the
    // count seen. progress gets the count while it waits.
    uint64_t WaitForDeliveries(uint64_t wanted,
                               const std::function<void(uint64_t)>& progress = nullptr);

    BusOptions m_Bus;
    BusOptions m_ReceiverBus;
    BenchSettings m_Settings;
    std::unique_ptr<Receiver> m_Receiver;
};

} // namespace tool
