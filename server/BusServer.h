#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace busd {

// How one process joins other nodes of the bus through a NATS cluster. With no URL the process
// is a bus of its own and nothing of NATS is touched.
struct ClusterOptions {
    std::vector<std::string> Urls;
    // Names this node's subject; empty: the host name and the bound command port.
    std::string NodeName;
    std::string CredsFile;
    std::string SubjectPrefix = "tessary";
    // Each node announces its receivers this often; an announcement not renewed for three
    // periods expires, and with it the node's receivers in the other nodes' registries.
    int RefreshMs = 1000;
};

// What one process of bus servers is told at start. Bus server k listens on command port
// CommandPort + 2k and status port StatusPort + 2k, the ports the library's clients and
// receivers compute from the same two bases.
struct BusServerOptions {
    std::string BindAddress = "127.0.0.1";
    // 0 asks for any free ports: a run is searched so that the arithmetic above still holds
    // (with both at 0, status port = command port + 1); the bound bases are then read back
    // from CommandPort() and StatusPort().
    int CommandPort = 6630;
    int StatusPort = 6631;
    int NbOfBUSServer = 4;
    // Announced in the SYNC record; the library times a silent status connection out after
    // one and a half heart rates, so heartbeats go out at this rate.
    int HeartRateMs = 10000;
    int Heartbeat1MinuteMs = 60000;
    int Heartbeat5MinuteMs = 300000;
    // Largest body plus BLOB relayed in one frame; bigger announcements close the connection.
    int64_t MaxFrameBytes = 256ll << 20;
    // Bytes queued for one connection above which the connections feeding it stop being read;
    // a queue twice as big, or one that stays above it for SlowConsumerTimeoutMs without
    // progress, closes that connection as a slow consumer.
    int64_t MaxPendingBytes = 64ll << 20;
    // A connection that sends no complete frame this long after connecting, or that stops in
    // the middle of a frame this long, is closed.
    int IdleTimeoutMs = 30000;
    int SlowConsumerTimeoutMs = 30000;
    // A frame relayed cut-through (more than 64 KiB of body and BLOB, or a streamed BLOB)
    // whose sender delivers less than 64 KiB in this long is abandoned: the sender is closed,
    // and so is every receiver it had given part of the frame. Smaller frames are relayed once
    // whole and never hold a receiver.
    int StallTimeoutMs = 10000;
    // Sends waiting for their acknowledgement, at most per receiver and per sender connection;
    // past it the oldest is forgotten as if it had timed out.
    int MaxPendingAcks = 4096;
    // Counters are logged at info level this often and once at shutdown.
    int StatsIntervalMs = 60000;
    ClusterOptions Cluster;
};

// A snapshot of the counters of all bus servers of one process.
struct BusStats {
    uint64_t ConnectionsAccepted = 0;
    uint64_t ConnectionsOpen = 0;
    uint64_t Registrations = 0;
    uint64_t FramesIn = 0;
    uint64_t FramesOut = 0;
    // Keyed by head type name ("Message", "Ack", ...); types never seen are absent.
    std::map<std::string, uint64_t> FramesInByType;
    std::map<std::string, uint64_t> FramesOutByType;
    uint64_t BytesIn = 0;
    uint64_t BytesOut = 0;
    // Frames that reached nobody: unknown target, target gone mid-frame, no waiting sender.
    uint64_t Drops = 0;
    // Closed connections by cause: "peer_gone", "bad_input", "slow_consumer", "idle",
    // "replaced", "shutdown" and "relay_broken" (the other end of a relay vanished in the
    // middle of a frame: a sender whose target went, or a target whose sender went, its stream
    // holding half a frame). Causes never seen are absent.
    std::map<std::string, uint64_t> ClosedByCause;
    // Bytes waiting in output queues now, and the most there ever were (of all bus servers
    // together: the largest of one).
    uint64_t QueuedBytes = 0;
    uint64_t QueuedBytesHighWater = 0;
    // Ports whose listener takes no connections now (not started, stopped, or failing to
    // accept, out of descriptors typically): 0 while every bus server listens.
    uint64_t ListenersDown = 0;
    // Federation: routed messages and their bytes each way, receivers whose node stopped
    // announcing them, and reconnections to the NATS cluster.
    uint64_t RemoteMessagesOut = 0;
    uint64_t RemoteMessagesIn = 0;
    uint64_t RemoteBytesOut = 0;
    uint64_t RemoteBytesIn = 0;
    uint64_t RemoteExpiries = 0;
    uint64_t ClusterReconnects = 0;
};

// One open connection as the event loop sees it.
struct ConnectionInfo {
    int Server = 0;
    uint64_t Id = 0;
    std::string Kind; // "command" or "status"
    std::string Peer;
    // The id a receiver registered under; empty for others.
    std::string SourceId;
    uint64_t BytesIn = 0;
    uint64_t BytesOut = 0;
    uint64_t QueuedBytes = 0;
    double AgeSeconds = 0;
};

class Hub;

// One process's bus servers, run on one event-loop thread of their own. Used by tessary-busd
// and embedded by tests, benchmarks and the tessary tool.
class BusServer {
public:
    explicit BusServer(BusServerOptions options = {});
    BusServer(const BusServer&) = delete;
    BusServer& operator=(const BusServer&) = delete;
    // Stops when still running.
    ~BusServer();

    // Binds every port, then starts the event-loop thread. False (with a log line) when a port
    // cannot be bound or the server already runs; nothing is left bound then.
    bool Start();
    // Closes every listener and connection, waits for the thread and logs the counters.
    // Safe to call twice or before Start.
    void Stop();
    bool IsRunning() const;

    // The bound bases (valid after a successful Start) and the ports of bus server k.
    int CommandPort() const;
    int StatusPort() const;
    int CommandPort(int k) const;
    int StatusPort(int k) const;
    int NbOfBUSServer() const;
    const BusServerOptions& Options() const { return m_Options; }

    // The counters of all bus servers together, and of bus server k. Any thread may ask, also
    // while the server runs.
    BusStats Stats() const;
    BusStats Stats(int k) const;
    // Every open connection, gathered on the event loop. Any thread may ask while the server
    // runs; it waits at most wait for the loop's answer, and gets nothing when the loop did not
    // answer in time or the server does not run.
    std::optional<std::vector<ConnectionInfo>> Connections(std::chrono::milliseconds wait) const;

private:
    BusServerOptions m_Options;
    std::unique_ptr<Hub> m_Hub;
};

} // namespace busd
