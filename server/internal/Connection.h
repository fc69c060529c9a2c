#pragma once

#include "server/internal/Counters.h"
#include "server/internal/OutQueue.h"
#include "tessary/protocol/shared/FrameCodec.h"

#include <asio.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace busd {

class BusInstance;

// What the bus server does with one frame, decided from its head.
struct FramePlan {
    enum class Mode {
        Relay,    // pass every byte on to the targets as it arrives
        Discard,  // read to the end, relay nothing, then answer
        Command,  // a request for the server itself, answered at the tail
        Collect,  // a request whose body the server needs whole (Setting)
        Register, // a Listen head: the frame ends with it
        Reject    // bad input: close the connection
    };
    enum class Relay { Direct, Publish, Ack };
    enum class Answer { None, Reply, Failed };

    Mode mode = Mode::Discard;
    Relay relay = Relay::Direct;
    Answer answer = Answer::None;
    std::vector<std::shared_ptr<class Connection>> targets;
    // Direct relay: the receiver whose acknowledgement the sender will wait for.
    uint64_t receiver = 0;
    std::string reason;
};

// One accepted TCP connection on a command or status port. All of it runs on the event-loop
// thread; nothing here locks.
//
// Reading: a parser splits the input into frame parts. A small relayed frame is kept until its
// tail has come and then queued whole, so a peer that stops in the middle of one holds nobody
// else's output; the parts of a bigger frame are queued on the target connections while they
// arrive (cut-through), and a peer that stops feeding one of those for the stall time-out is
// cut off, with the targets it left half a frame. A connection stops reading (is paused)
// while it waits for a target's output to become free, or while a queue it feeds is over the
// pending limit, and resumes from where its input stopped.
//
// Writing: bytes queue in an OutQueue and go out in gather writes. A relayed frame owns its
// target's output from its head to its tail so that no other frame interleaves with it; frames
// the server makes itself and whole small frames wait behind it, other relays wait in line.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    enum class Kind { Command, Status };
    using Clock = std::chrono::steady_clock;

    Connection(BusInstance& bus, asio::ip::tcp::socket socket, Kind kind, uint64_t id);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    void Start();
    void Close(CloseCause cause, const std::string& reason);

    // Queues a frame made by the server; it waits while another connection's frame owns this
    // output.
    void SendServerFrame(const std::string& frame);
    // Queues a whole frame that may wait until the time given for what is expected to follow
    // it, so that both leave in one write and wake the peer once: a send's Reply waits for the
    // receiver's acknowledgement, a post for the next posts to the same receiver. Anything
    // else queued behind it sends it along, and so do MaxHeldFrames frames held together. True
    // when the bus server is to note the connection for the release of what it holds.
    bool EnqueueHeld(const char* data, size_t size, Clock::time_point until);
    // Writes what is held once its time has come; the time still awaited, or max() when
    // nothing stays held.
    Clock::time_point ReleaseDue(Clock::time_point now);
    // The CPU this peer runs on as far as its bytes tell, looked up now and then (-1: not
    // known, and for a peer on another host).
    int PeerCPU(Clock::time_point now);
    // Heartbeats are only worth sending to an idle output; data on the way is sign of life too.
    bool CanTakeHeartbeat() const;
    void SetNoDelay(bool on);
    // Starts writing what was queued; called when a batch of input handling ends.
    void Flush();

    uint64_t Id() const { return m_Id; }
    Kind GetKind() const { return m_Kind; }
    const std::string& Peer() const { return m_Peer; }
    bool IsClosed() const { return m_Closed; }
    bool IsRegistered() const { return m_Registered; }
    const std::string& SourceId() const { return m_SourceId; }
    void MarkRegistered(const std::string& id);
    // Called by the sweep with the time now.
    void Sweep(Clock::time_point now);
    // What the connection list shows of it; Server is left to the bus server.
    ConnectionInfo Info(Clock::time_point now) const;

private:
    enum class Pause { None, Owner, Drain };

    struct Target {
        std::shared_ptr<Connection> conn;
        bool acquired = false;
        bool lost = false;
    };

    // Input side.
    void PrepareBuffer();
    void StartRead();
    void OnRead(const std::error_code& error, size_t n);
    // The bookkeeping of n bytes read into the buffer.
    void Took(size_t n);
    void Pump();
    // A read that does not wait; false when nothing was there.
    bool ReadNow();
    // Lets a sender of posts that shares this CPU run before the loop goes on; false, without
    // yielding, when it runs elsewhere, and for a while after a yield that took long.
    bool YieldToSender();
    void ReadOrWait();
    // False, with the connection paused, while a queue it feeds is over its limit.
    bool MayRead();
    void HandleSegment(const FrameCodec::Step& step);
    void OnHead(const FrameCodec::Step& step);
    void OnFrameEnd();
    // A small frame is stored until its tail, in the read buffer while it lies there whole and
    // in a store of its own once it straddles two reads.
    void Store(const FrameCodec::Step& step);
    size_t StoredBytes() const;
    // Copies what lies in the read buffer into the store, before the buffer is read into again.
    void KeepInStore();
    void DeliverStored();
    void Forward(const FrameCodec::Step& step);
    void ForwardHead();
    // Takes the outputs of the targets in id order (so two relays never wait on each other);
    // true when all are held, else paused until the busy one is granted.
    bool AcquireTargets();
    void Resume();
    void ReleaseTargets();

    // Called by a target's output side.
    void Granted(Connection& target);
    void TargetLost(Connection& target);
    void SourceLost(Connection& source, bool midFrame);

    // Output side.
    void Enqueue(const char* data, size_t size);
    // A whole frame: queued at once, or after the relayed frame that owns this output.
    void EnqueueFrame(const char* data, size_t size);
    size_t QueuedBytes() const { return m_Out.Charged() + m_DeferredBytes; }
    void EnqueueShared(const std::shared_ptr<char[]>& keep, const char* data, size_t size,
                       size_t charge);
    void ScheduleFlush();
    void StartWrite();
    void OnWrite(const std::error_code& error, size_t n);
    // The bookkeeping of n bytes written.
    void Wrote(size_t n);
    void Release(Connection& owner);
    void WakeDrainWaiters();
    // The bytes this output is writing are over the pending limit.
    bool OutputFull() const;
    // What this output may hold before the relays feeding it stop reading their sources.
    int64_t RelayLimit() const;

    BusInstance& m_Bus;
    Counters& m_Counters;
    asio::ip::tcp::socket m_Socket;
    const Kind m_Kind;
    const uint64_t m_Id;
    std::string m_Peer;
    bool m_Loopback = false;
    bool m_Closed = false;
    bool m_Registered = false;
    std::string m_SourceId;

    // Input: the buffer being parsed is shared with the queues that reference parts of it.
    std::shared_ptr<char[]> m_In;
    // Big read buffers kept for reuse; one is free when this list holds its only reference.
    std::vector<std::shared_ptr<char[]>> m_Spares;
    size_t m_InSize = 0;
    size_t m_WantSize = 16 * 1024;
    size_t m_InPos = 0;
    size_t m_InEnd = 0;
    bool m_Reading = false;
    // Every frame ended in the current read was a post (a relay nobody waits on).
    bool m_PostsOnly = true;
    Pause m_Pause = Pause::None;
    // When yielding to the sender may start again after a slow yield; the CPU the peer's
    // bytes last came in on, and when to look that up again.
    Clock::time_point m_NoYieldUntil;
    int m_PeerCPU = -1;
    Clock::time_point m_PeerCPUCheck;
    FrameCodec m_Parser;
    FramePlan m_Plan;
    std::vector<Target> m_Targets;
    bool m_HeadSent = false;
    bool m_Storing = false;
    bool m_StoreInBuffer = false;
    size_t m_StoreStart = 0;
    size_t m_StoreEnd = 0;
    std::string m_Store;
    std::string m_Body;
    uint64_t m_FramesDone = 0;
    uint64_t m_BytesIn = 0;
    uint64_t m_BytesOut = 0;
    Clock::time_point m_Accepted;
    Clock::time_point m_LastInput;
    // Bytes read since the stall window of a cut-through relay began.
    Clock::time_point m_WindowStart;
    uint64_t m_WindowBytes = 0;

    // Output.
    OutQueue m_Out;
    bool m_Writing = false;
    bool m_FlushQueued = false;
    bool m_SlowClosePosted = false;
    // Frames held back since the output was last written (0: what is queued goes out at the
    // next flush), until when, and whether the bus server has the connection noted for it.
    int m_HeldFrames = 0;
    Clock::time_point m_HoldUntil;
    bool m_HoldNoted = false;
    std::array<asio::const_buffer, 64> m_Iov;
    Clock::time_point m_LastWrite;
    // Relays waited on this output and it wrote nothing for a while: they may fill it up to
    // the pending limit, as before the relay window.
    bool m_Stalled = false;
    // The relay whose frame this output carries now, and the target this connection's own
    // relay waits for (at most one at a time, since targets are taken in order).
    Connection* m_Owner = nullptr;
    Connection* m_WaitingOn = nullptr;
    std::deque<std::weak_ptr<Connection>> m_OwnerWaiters;
    std::vector<std::weak_ptr<Connection>> m_DrainWaiters;
    std::vector<std::string> m_Deferred;
    size_t m_DeferredBytes = 0;
};

} // namespace busd
