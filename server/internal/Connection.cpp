#include "server/internal/Connection.h"

#include "server/internal/BusInstance.h"
#include "server/internal/Hub.h"
#include "tessary/external/Log.h"

#include <algorithm>
#include <cstring>
#include <sched.h>
#include <sys/socket.h>
#include <span>

namespace busd {

namespace {

// Read buffers start small enough for idle connections to cost little but big enough for a
// request of a few kilobytes to arrive in one read, and grow while reads fill them: a BLOB
// then moves in big reads and big gather writes. A read buffer stays pinned while a queue
// references part of it. A big read takes a mebibyte, as the senders' writes of a BLOB do: at a
// quarter of that a BLOB cost four times the reads, writes and event-loop turns per mebibyte,
// and on a shared CPU as many switches between sender, bus server and receiver (64 MiB BLOBs
// crossed at 0.6 of a plain two-hop relay's rate, now at about 0.8).
constexpr size_t SmallRead = 16 * 1024;
constexpr size_t BigRead = 1024 * 1024;
// A relay stops reading its source while a target's queue holds more than this: a few big
// reads ahead of the target's socket keep it busy, and more would only cost memory. It is
// also what keeps a relayed BLOB within the spare buffers below. A target that writes nothing
// for StallAfter while relays wait on it is judged by the pending limit instead, as a slow
// consumer is.
constexpr int64_t RelayWindow = 8 * int64_t{BigRead};
constexpr auto StallAfter = std::chrono::seconds(1);
// Frames with at most this much body and BLOB are relayed only once they are complete. A
// stalled one then costs its own connection a buffer and nobody else anything, while bigger
// ones still go through without being held whole.
constexpr int64_t StoreAndForwardMax = 64 * 1024;
// What a stored frame may take with its records; one cut into many tiny chunks goes on
// cut-through from there instead of growing the store.
constexpr size_t StoreMax = StoreAndForwardMax + 4096;
// A cut-through relay that reads less than this in one stall window is judged stalled: a
// trickle keeps a connection alive but holds its targets as surely as silence does.
constexpr uint64_t StallFloorBytes = 64 * 1024;
// Big read buffers a connection keeps for reuse: the relay window, the read that passes it and
// the one under way, with a little room.
constexpr size_t MaxSpareReads = 12;
// Reads of whole posts, and their bytes, handled in one turn before what they relay is
// written.
constexpr int MaxHeldReads = 16;
constexpr size_t MaxHeldBytes = 64 * 1024;
// Giving the CPU away costs a sender that shares it some microseconds to send its next post. A
// yield that keeps the loop away for longer means that other work holds the CPU, for a whole
// time slice a yield, and the loop stops yielding for a while.
constexpr auto SlowYield = std::chrono::milliseconds(2);
constexpr auto YieldPause = std::chrono::milliseconds(100);
constexpr auto PeerCPUCheck = std::chrono::milliseconds(100);
// A post waits on its receiver's output for the next posts when the receiver shares the
// sender's CPU and the bus server runs on another: the receiver is then woken once for a burst
// and answers it in one write, instead of taking the CPU from the sender at every post. A held
// post leaves at the latest after PostHold, or with MaxHeldFrames frames or MaxHeldBytes.
constexpr auto PostHold = std::chrono::microseconds(300);
constexpr int MaxHeldFrames = 16;

const char* KindText(Connection::Kind kind) {
    return kind == Connection::Kind::Command ? "command" : "status";
}

uint32_t FrameType(const std::string& frame) {
    uint32_t type = 0;
    std::memcpy(&type, frame.data() + offsetof(MessageHead, Type), sizeof type);
    return type;
}

} // namespace

Connection::Connection(BusInstance& bus, asio::ip::tcp::socket socket, Kind kind, uint64_t id)
    : m_Bus(bus), m_Counters(bus.GetCounters()), m_Socket(std::move(socket)), m_Kind(kind),
      m_Id(id), m_Parser(bus.Options().MaxFrameBytes) {
    std::error_code error;
    const auto peer = m_Socket.remote_endpoint(error);
    m_Peer = error ? std::string("unknown peer")
                   : peer.address().to_string() + ":" + std::to_string(peer.port());
    m_Loopback = !error && peer.address().is_loopback();
    m_Socket.set_option(asio::ip::tcp::no_delay(true), error);
    // Writes and the reads that follow a handled input are tried at once and must not block.
    m_Socket.non_blocking(true, error);
    m_Accepted = m_LastInput = m_LastWrite = m_WindowStart = Clock::now();
}

Connection::~Connection() = default;

void Connection::Start() { StartRead(); }

void Connection::SetNoDelay(bool on) {
    std::error_code error;
    m_Socket.set_option(asio::ip::tcp::no_delay(on), error);
}

void Connection::MarkRegistered(const std::string& id) {
    m_Registered = true;
    m_SourceId = id;
}

// ---- input ----

void Connection::PrepareBuffer() {
    m_InPos = m_InEnd = 0;
    if (m_WantSize == BigRead) {
        // Big reads (a BLOB on its way) cycle through a few buffers that the queues give back
        // as they write them out: a relayed chunk then lands in memory already mapped, instead
        // of in fresh pages that cost a fault each. While all are pinned, a new buffer is made
        // and not kept, so the spares never outgrow their few.
        m_In.reset();
        m_InSize = BigRead;
        for (const auto& spare : m_Spares) {
            if (spare.use_count() == 1) {
                m_In = spare;
                return;
            }
        }
        m_In.reset(new char[BigRead]);
        if (m_Spares.size() < MaxSpareReads) {
            m_Spares.push_back(m_In);
        }
        return;
    }
    // Small reads: one buffer, replaced only while a queue still references it.
    m_Spares.clear();
    if (!m_In || m_In.use_count() > 1 || m_InSize != m_WantSize) {
        m_In.reset(new char[m_WantSize]);
        m_InSize = m_WantSize;
    }
}

void Connection::StartRead() {
    if (m_Closed || m_Reading) {
        return;
    }
    PrepareBuffer();
    m_Reading = true;
    m_Socket.async_read_some(asio::buffer(m_In.get(), m_InSize),
                             [self = shared_from_this()](const std::error_code& error, size_t n) {
                                 self->OnRead(error, n);
                             });
}

void Connection::OnRead(const std::error_code& error, size_t n) {
    m_Reading = false;
    if (m_Closed) {
        return;
    }
    if (error) {
        Close(CloseCause::PeerGone, error == asio::error::eof ? "closed by peer" : error.message());
        return;
    }
    Took(n);
    m_Bus.GetHub().PeerElsewhere(PeerCPU(m_LastInput) != sched_getcpu());
    Pump();
}

void Connection::Took(size_t n) {
    m_Counters.BytesIn(n);
    m_BytesIn += n;
    m_LastInput = Clock::now();
    m_WindowBytes += n;
    if (n == m_InSize) {
        m_WantSize = std::min(BigRead, m_InSize * 4);
    } else if (n <= SmallRead / 4) {
        m_WantSize = SmallRead;
    }
    m_InPos = 0;
    m_InEnd = n;
}

void Connection::Pump() {
    // Everything queued while this input is handled goes out in one gather write per target
    // when it is done.
    const BusInstance::Batch batch(m_Bus);
    size_t held = 0;
    for (int reads = 1;; ++reads) {
        m_PostsOnly = true;
        while (!m_Closed && m_Pause == Pause::None && m_InPos < m_InEnd) {
            size_t consumed = 0;
            const FrameCodec::Step step =
                m_Parser.Next(m_In.get() + m_InPos, m_InEnd - m_InPos, consumed);
            m_InPos += consumed;
            if (step.status == FrameCodec::Status::Error) {
                Close(CloseCause::BadInput, m_Parser.ErrorText());
                return;
            }
            if (step.status == FrameCodec::Status::Segment) {
                HandleSegment(step);
            }
        }
        if (m_Closed || m_Pause != Pause::None || m_InPos != m_InEnd) {
            return;
        }
        if (m_Storing) {
            KeepInStore();
        }
        // A sender of posts has its reply at once and sends the next one while this turn still
        // runs: taking that one too before the relayed ones leave sends a burst of posts to
        // their receivers in one write, and lets the receivers answer them in one. Only whole
        // posts are held so, nobody waiting for them, and only for a few small reads.
        held += m_InEnd;
        if (!m_PostsOnly || m_Parser.MidFrame() || reads >= MaxHeldReads ||
            held >= MaxHeldBytes) {
            break;
        }
        if (!MayRead()) {
            return;
        }
        // A sender that shares this CPU has its reply but cannot send the next post before it
        // gets the CPU; without it the turn ends, the receiver is woken for one post and runs
        // in between, and so on for every post. So it is let run, and the read tried again.
        if (!ReadNow() && (!YieldToSender() || !ReadNow())) {
            break;
        }
    }
    ReadOrWait();
}

bool Connection::ReadNow() {
    PrepareBuffer();
    std::error_code error;
    const size_t n = m_Socket.read_some(asio::buffer(m_In.get(), m_InSize), error);
    if (error) {
        // Nothing there yet, or a failure the read of the event loop reports.
        return false;
    }
    Took(n);
    return true;
}

bool Connection::YieldToSender() {
    const Clock::time_point before = Clock::now();
    if (before < m_NoYieldUntil) {
        return false;
    }
    // A sender on another CPU is not helped by a yield, and its receiver is better served by
    // a relay that leaves now.
    if (PeerCPU(before) != sched_getcpu()) {
        return false;
    }
    sched_yield();
    const Clock::time_point after = Clock::now();
    if (after - before > SlowYield) {
        m_NoYieldUntil = after + YieldPause;
    }
    return true;
}

int Connection::PeerCPU(Clock::time_point now) {
    // A loopback peer's bytes are taken in on the CPU that sent them; a remote peer's on the
    // CPU that served the network card, which says nothing about where the peer runs. The
    // lookup is a system call too, so it is made now and then.
    if (!m_Loopback) {
        return -1;
    }
    if (now >= m_PeerCPUCheck) {
        socklen_t size = sizeof m_PeerCPU;
        if (getsockopt(m_Socket.native_handle(), SOL_SOCKET, SO_INCOMING_CPU, &m_PeerCPU,
                       &size) != 0) {
            m_PeerCPU = -1;
        }
        m_PeerCPUCheck = now + PeerCPUCheck;
    }
    return m_PeerCPU;
}

bool Connection::OutputFull() const {
    return static_cast<int64_t>(m_Out.Charged()) > m_Bus.Options().MaxPendingBytes;
}

int64_t Connection::RelayLimit() const {
    const int64_t pending = m_Bus.Options().MaxPendingBytes;
    return m_Stalled ? pending : std::min(RelayWindow, pending);
}

void Connection::ReadOrWait() {
    if (!m_Reading && MayRead()) {
        StartRead();
    }
}

bool Connection::MayRead() {
    // Stop reading while a queue this connection feeds is over the limit: the bytes stay in
    // the peer's socket, and TCP slows the peer down. A client's own queue fills with the
    // answers to its requests, so one that does not read them is held back too; a receiver's
    // queue fills with other peers' messages, and it must still be read, or a receiver blocked
    // writing its acknowledgements would never read the messages that free its queue.
    const size_t own = m_Out.Charged() + m_DeferredBytes;
    Connection* full = !m_Registered && static_cast<int64_t>(own) > m_Bus.Options().MaxPendingBytes
                           ? this
                           : nullptr;
    for (const Target& t : m_Targets) {
        if (full == nullptr && t.acquired && !t.lost &&
            static_cast<int64_t>(t.conn->m_Out.Charged()) > t.conn->RelayLimit()) {
            full = t.conn.get();
        }
    }
    if (full != nullptr) {
        m_Pause = Pause::Drain;
        full->m_DrainWaiters.push_back(weak_from_this());
        return false;
    }
    return true;
}

void Connection::Resume() {
    if (m_Closed) {
        return;
    }
    if (m_Pause == Pause::Owner) {
        if (!AcquireTargets()) {
            return;
        }
        m_Pause = Pause::None;
        ForwardHead();
    } else if (m_Pause == Pause::Drain) {
        m_Pause = Pause::None;
    } else {
        return;
    }
    Pump();
}

void Connection::HandleSegment(const FrameCodec::Step& step) {
    const bool relay = m_Plan.mode == FramePlan::Mode::Relay;
    if (m_Storing && step.part != FrameCodec::Part::Head) {
        Store(step);
        return;
    }
    switch (step.part) {
    case FrameCodec::Part::Head:
        OnHead(step);
        return;
    case FrameCodec::Part::Body:
        if (relay) {
            Forward(step);
        } else if (m_Plan.mode == FramePlan::Mode::Collect) {
            m_Body.append(step.data, step.size);
        }
        return;
    case FrameCodec::Part::PDV:
    case FrameCodec::Part::Data:
        if (relay) {
            Forward(step);
        }
        return;
    case FrameCodec::Part::Tail:
        if (relay) {
            Forward(step);
        }
        OnFrameEnd();
        return;
    }
}

void Connection::OnHead(const FrameCodec::Step& step) {
    const MessageHead& head = m_Parser.Head();
    m_Counters.FrameIn(head.Type);
    m_Body.clear();
    m_Targets.clear();
    m_HeadSent = false;
    m_Store.clear();
    m_Plan = m_Bus.OnHead(*this, head);
    switch (m_Plan.mode) {
    case FramePlan::Mode::Reject:
        Close(CloseCause::BadInput, m_Plan.reason);
        return;
    case FramePlan::Mode::Register:
        ++m_FramesDone;
        m_Plan = FramePlan();
        m_Bus.Register(*this, head);
        return;
    case FramePlan::Mode::Relay:
        for (auto& conn : m_Plan.targets) {
            m_Targets.push_back({std::move(conn), false, false});
        }
        m_Plan.targets.clear();
        std::sort(m_Targets.begin(), m_Targets.end(), [](const Target& a, const Target& b) {
            return a.conn->Id() < b.conn->Id();
        });
        m_Targets.erase(std::unique(m_Targets.begin(), m_Targets.end(),
                                    [](const Target& a, const Target& b) {
                                        return a.conn == b.conn;
                                    }),
                        m_Targets.end());
        if (head.cbBLOB != UnknownBLOBSize &&
            int64_t{head.cbMessage} + head.cbBLOB <= StoreAndForwardMax) {
            m_Storing = true;
            m_StoreInBuffer = !step.staged;
            if (m_StoreInBuffer) {
                m_StoreStart = static_cast<size_t>(step.data - m_In.get());
                m_StoreEnd = m_StoreStart + step.size;
            } else {
                m_Store.append(step.data, step.size);
            }
            return;
        }
        if (!AcquireTargets()) {
            m_Pause = Pause::Owner;
            return;
        }
        ForwardHead();
        return;
    case FramePlan::Mode::Discard:
    case FramePlan::Mode::Command:
    case FramePlan::Mode::Collect:
        return;
    }
}

void Connection::Store(const FrameCodec::Step& step) {
    if (m_StoreInBuffer) {
        // Parts that did not straddle a read follow each other in the buffer.
        m_StoreEnd = static_cast<size_t>(step.data - m_In.get()) + step.size;
    } else {
        m_Store.append(step.data, step.size);
    }
    if (step.frameEnd) {
        DeliverStored();
        OnFrameEnd();
        return;
    }
    if (StoredBytes() > StoreMax) {
        KeepInStore();
        m_Storing = false;
        if (!AcquireTargets()) {
            m_Pause = Pause::Owner;
            return;
        }
        ForwardHead();
    }
}

size_t Connection::StoredBytes() const {
    return m_StoreInBuffer ? m_StoreEnd - m_StoreStart : m_Store.size();
}

void Connection::KeepInStore() {
    if (m_StoreInBuffer) {
        m_Store.assign(m_In.get() + m_StoreStart, m_StoreEnd - m_StoreStart);
        m_StoreInBuffer = false;
    }
}

void Connection::DeliverStored() {
    const char* data = m_StoreInBuffer ? m_In.get() + m_StoreStart : m_Store.data();
    const size_t size = StoredBytes();
    // Queued by reference under the same rule as the pieces of a cut-through relay.
    const bool share = m_StoreInBuffer && size >= m_InSize / 4;
    uint64_t live = 0;
    Connection* full = nullptr;
    // A post from a sender on another CPU than this loop's may wait for company (PostHold),
    // counted from the read that completed it.
    const Clock::time_point now = m_LastInput;
    int senderCPU = -1;
    if (!share && m_Plan.relay != FramePlan::Relay::Ack &&
        !m_Parser.Head().HasFlag(HeadFlag::AckRequested)) {
        senderCPU = PeerCPU(now);
        if (senderCPU == sched_getcpu()) {
            senderCPU = -1;
        }
    }
    for (Target& t : m_Targets) {
        if (t.conn->m_Closed) {
            t.lost = true;
            continue;
        }
        if (share && t.conn->m_Owner == nullptr) {
            t.conn->EnqueueShared(m_In, data, size, m_InSize);
        } else if (senderCPU >= 0 && t.conn->PeerCPU(now) == senderCPU) {
            if (t.conn->EnqueueHeld(data, size, now + PostHold)) {
                m_Bus.NoteHeld(*t.conn, now + PostHold);
            }
        } else {
            t.conn->EnqueueFrame(data, size);
        }
        ++live;
        if (full == nullptr && static_cast<int64_t>(t.conn->QueuedBytes()) > t.conn->RelayLimit()) {
            full = t.conn.get();
        }
    }
    m_Counters.FrameOut(m_Parser.Head().Type, live);
    if (full != nullptr) {
        // As a cut-through relay does, this source waits until the target has written some.
        m_Pause = Pause::Drain;
        full->m_DrainWaiters.push_back(weak_from_this());
    }
}

bool Connection::AcquireTargets() {
    for (Target& t : m_Targets) {
        if (t.acquired || t.lost) {
            continue;
        }
        Connection& target = *t.conn;
        if (target.m_Closed) {
            t.lost = true;
            continue;
        }
        if (target.m_Owner == nullptr) {
            target.m_Owner = this;
            t.acquired = true;
            continue;
        }
        if (m_WaitingOn != &target) {
            target.m_OwnerWaiters.push_back(weak_from_this());
            m_WaitingOn = &target;
        }
        return false;
    }
    return true;
}

void Connection::ForwardHead() {
    const MessageHead& head = m_Parser.Head();
    // A frame that was being stored goes on from what the store holds.
    const bool stored = !m_Store.empty();
    const char* data = stored ? m_Store.data() : reinterpret_cast<const char*>(&head);
    const size_t size = stored ? m_Store.size() : sizeof head;
    uint64_t live = 0;
    for (const Target& t : m_Targets) {
        if (t.acquired && !t.lost) {
            t.conn->Enqueue(data, size);
            ++live;
        }
    }
    m_Store.clear();
    m_Counters.FrameOut(head.Type, live);
    m_HeadSent = true;
}

void Connection::Forward(const FrameCodec::Step& step) {
    for (const Target& t : m_Targets) {
        if (!t.acquired || t.lost) {
            continue;
        }
        // Pieces of at least a quarter of the read buffer are queued by reference, smaller ones
        // copied, so a pinned buffer is charged at most four times its size to the queues. A
        // piece that begins a big read, or continues one queued by reference, goes by reference
        // too: what follows it (a chunk record and the next chunk of a streamed BLOB) joins it,
        // and no part of the read is copied.
        const bool leads = step.data == m_In.get() && m_InEnd >= m_InSize / 4;
        if (step.staged || (step.size < m_InSize / 4 && !leads &&
                            !t.conn->m_Out.Continues(m_In.get(), step.data))) {
            t.conn->Enqueue(step.data, step.size);
        } else {
            t.conn->EnqueueShared(m_In, step.data, step.size, m_InSize);
        }
    }
}

void Connection::OnFrameEnd() {
    ++m_FramesDone;
    if (m_Plan.mode != FramePlan::Mode::Relay || m_Plan.relay == FramePlan::Relay::Ack ||
        m_Parser.Head().HasFlag(HeadFlag::AckRequested)) {
        m_PostsOnly = false;
    }
    bool delivered = false;
    if (m_Plan.mode == FramePlan::Mode::Relay) {
        for (const Target& t : m_Targets) {
            delivered = delivered || ((t.acquired || m_Storing) && !t.lost);
        }
        ReleaseTargets();
    }
    m_Storing = false;
    const FramePlan plan = std::move(m_Plan);
    m_Plan = FramePlan();
    m_Targets.clear();
    m_HeadSent = false;
    m_Bus.OnFrameEnd(*this, m_Parser.Head(), plan, m_Body, delivered);
    m_Body.clear();
}

void Connection::ReleaseTargets() {
    for (Target& t : m_Targets) {
        if (t.acquired) {
            t.acquired = false;
            t.conn->Release(*this);
        }
    }
}

void Connection::Granted(Connection& target) {
    m_WaitingOn = nullptr;
    for (Target& t : m_Targets) {
        if (t.conn.get() == &target) {
            t.acquired = true;
        }
    }
    asio::post(m_Socket.get_executor(), [self = shared_from_this()] { self->Resume(); });
}

void Connection::TargetLost(Connection& target) {
    if (m_Closed) {
        return;
    }
    if (m_WaitingOn == &target) {
        m_WaitingOn = nullptr;
    }
    const auto it = std::find_if(m_Targets.begin(), m_Targets.end(),
                                 [&](const Target& t) { return t.conn.get() == &target; });
    if (it == m_Targets.end() || it->lost) {
        return;
    }
    const bool midFrame = it->acquired && m_HeadSent;
    it->acquired = false;
    it->lost = true;
    if (midFrame) {
        m_Counters.Drop();
        // A sender must learn at once that its frame went nowhere; closing also stops it from
        // pushing the rest of a BLOB into the void.
        if (m_Plan.relay == FramePlan::Relay::Direct) {
            Close(CloseCause::RelayBroken,
                  "target <" + target.SourceId() + "> disconnected in the middle of a frame");
            return;
        }
    }
    if (m_Pause == Pause::Owner) {
        asio::post(m_Socket.get_executor(), [self = shared_from_this()] { self->Resume(); });
    }
}

void Connection::SourceLost(Connection& source, bool midFrame) {
    if (midFrame) {
        m_Owner = nullptr;
        // This stream now holds half a frame; only a new connection can start clean.
        Close(CloseCause::RelayBroken,
              "its sender " + source.Peer() + " disconnected in the middle of a frame");
        return;
    }
    Release(source);
}

void Connection::Close(CloseCause cause, const std::string& reason) {
    if (m_Closed) {
        return;
    }
    const auto self = shared_from_this();
    m_Closed = true;
    const int port = m_Bus.Port(m_Kind);
    const char* kind = KindText(m_Kind);
    switch (cause) {
    case CloseCause::BadInput:
    case CloseCause::SlowConsumer:
        _warning("busd: closing %s on %s port %d: %s", m_Peer.c_str(), kind, port, reason.c_str());
        break;
    case CloseCause::Idle:
    case CloseCause::RelayBroken:
    case CloseCause::Replaced:
        _info("busd: closing %s on %s port %d: %s", m_Peer.c_str(), kind, port, reason.c_str());
        break;
    case CloseCause::PeerGone:
    case CloseCause::Shutdown:
        _debug("busd: %s on %s port %d gone: %s", m_Peer.c_str(), kind, port, reason.c_str());
        break;
    }
    m_Counters.Closed(cause);
    std::error_code ignored;
    m_Socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_Socket.close(ignored);

    // The frame this connection was relaying: its targets are told whether they got part of it.
    const bool midFrame = m_HeadSent;
    std::vector<Target> targets = std::move(m_Targets);
    m_Targets.clear();
    for (Target& t : targets) {
        if (t.acquired) {
            t.conn->SourceLost(*this, midFrame);
        }
    }
    // The frame being relayed into this connection, and the relays waiting to start one.
    if (Connection* owner = m_Owner) {
        m_Owner = nullptr;
        owner->TargetLost(*this);
    }
    std::deque<std::weak_ptr<Connection>> waiters = std::move(m_OwnerWaiters);
    m_OwnerWaiters.clear();
    for (const auto& weak : waiters) {
        if (const auto waiter = weak.lock()) {
            waiter->TargetLost(*this);
        }
    }
    WakeDrainWaiters();
    m_Counters.Dequeued(m_Out.Bytes());
    m_Out.Clear();
    m_Deferred.clear();
    m_DeferredBytes = 0;
    m_In.reset();
    m_Spares.clear();
    m_InPos = m_InEnd = 0;
    m_Bus.OnClosed(*this);
}

void Connection::Sweep(Clock::time_point now) {
    if (m_Closed) {
        return;
    }
    const auto& options = m_Bus.Options();
    const auto idle = std::chrono::milliseconds(options.IdleTimeoutMs);
    if (m_FramesDone == 0 && !m_Parser.MidFrame() && now - m_Accepted > idle) {
        Close(CloseCause::Idle, "no frame since it connected");
        return;
    }
    if (m_Parser.MidFrame() && m_Pause == Pause::None && m_Reading && now - m_LastInput > idle) {
        Close(CloseCause::Idle, "stalled in the middle of a frame");
        return;
    }
    // The window runs only while this peer's own bytes are what a cut-through relay waits for;
    // a relay paused for its targets is not the peer's fault.
    if (!m_HeadSent || m_Pause != Pause::None) {
        m_WindowStart = now;
        m_WindowBytes = 0;
    } else if (const auto window = now - m_WindowStart;
               window >= std::chrono::milliseconds(options.StallTimeoutMs)) {
        if (m_WindowBytes < StallFloorBytes) {
            Close(CloseCause::Idle,
                  "stalled relaying a frame, " + std::to_string(m_WindowBytes) + " bytes in " +
                      std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(window)
                                         .count()) +
                      " ms");
            return;
        }
        m_WindowStart = now;
        m_WindowBytes = 0;
    }
    if (!m_Stalled && !m_DrainWaiters.empty() && now - m_LastWrite > StallAfter) {
        m_Stalled = true;
        WakeDrainWaiters();
    }
    if (OutputFull() &&
        now - m_LastWrite > std::chrono::milliseconds(options.SlowConsumerTimeoutMs)) {
        Close(CloseCause::SlowConsumer,
              "slow consumer, " + std::to_string(m_Out.Bytes()) + " bytes queued");
    }
}

ConnectionInfo Connection::Info(Clock::time_point now) const {
    ConnectionInfo info;
    info.Id = m_Id;
    info.Kind = KindText(m_Kind);
    info.Peer = m_Peer;
    info.SourceId = m_SourceId;
    info.BytesIn = m_BytesIn;
    info.BytesOut = m_BytesOut;
    info.QueuedBytes = m_Out.Bytes();
    info.AgeSeconds = std::chrono::duration<double>(now - m_Accepted).count();
    return info;
}

// ---- output ----

void Connection::SendServerFrame(const std::string& frame) {
    if (m_Closed) {
        return;
    }
    m_Counters.FrameOut(FrameType(frame));
    EnqueueFrame(frame.data(), frame.size());
}

bool Connection::EnqueueHeld(const char* data, size_t size, Clock::time_point until) {
    // Holding saves nothing once other bytes are on their way, or while a relay owns the
    // output.
    if (m_Closed || m_Owner != nullptr || m_Writing || (!m_Out.Empty() && m_HeldFrames == 0)) {
        EnqueueFrame(data, size);
        return false;
    }
    const int held = m_HeldFrames;
    const Clock::time_point earlier = held > 0 ? std::min(m_HoldUntil, until) : until;
    Enqueue(data, size);
    m_HeldFrames = held + 1;
    m_HoldUntil = earlier;
    const bool note = !m_HoldNoted;
    m_HoldNoted = true;
    return note;
}

Connection::Clock::time_point Connection::ReleaseDue(Clock::time_point now) {
    if (m_HeldFrames > 0 && now >= m_HoldUntil) {
        StartWrite();
    }
    m_HoldNoted = m_HeldFrames > 0 && !m_Closed;
    return m_HoldNoted ? m_HoldUntil : Clock::time_point::max();
}

void Connection::EnqueueFrame(const char* data, size_t size) {
    if (m_Owner != nullptr) {
        m_Deferred.emplace_back(data, size);
        m_DeferredBytes += size;
        return;
    }
    Enqueue(data, size);
}

bool Connection::CanTakeHeartbeat() const {
    return !m_Closed && m_Owner == nullptr && m_Out.Empty();
}

void Connection::Enqueue(const char* data, size_t size) {
    if (m_Closed) {
        return;
    }
    if (m_Out.Empty()) {
        // A slow consumer is judged by how long its queue has been waiting, not by how long
        // ago it last had anything to write.
        m_LastWrite = Clock::now();
    }
    m_Out.Append(data, size);
    m_Counters.Queued(size);
    m_HeldFrames = 0;
    ScheduleFlush();
}

void Connection::EnqueueShared(const std::shared_ptr<char[]>& keep, const char* data, size_t size,
                               size_t charge) {
    if (m_Closed) {
        return;
    }
    if (m_Out.Empty()) {
        m_LastWrite = Clock::now();
    }
    m_Out.AppendShared(keep, data, size, charge);
    m_Counters.Queued(size);
    m_HeldFrames = 0;
    ScheduleFlush();
}

void Connection::ScheduleFlush() {
    // Backpressure keeps a queue within the limit plus one read of the one relay that feeds it
    // at a time; far beyond that something is wrong with this peer.
    if (!m_SlowClosePosted && static_cast<int64_t>(m_Out.Charged()) >
                                  2 * m_Bus.Options().MaxPendingBytes + 4 * int64_t{BigRead}) {
        m_SlowClosePosted = true;
        asio::post(m_Socket.get_executor(), [self = shared_from_this()] {
            self->Close(CloseCause::SlowConsumer,
                        "slow consumer, " + std::to_string(self->m_Out.Bytes()) +
                            " bytes queued");
        });
    }
    if (m_Writing || m_FlushQueued) {
        return;
    }
    m_FlushQueued = true;
    if (m_Bus.InBatch()) {
        m_Bus.AddDirty(shared_from_this());
        return;
    }
    // Outside a batch (timers, closes) the write starts once the current handler has queued
    // everything it has.
    asio::post(m_Socket.get_executor(), [self = shared_from_this()] { self->Flush(); });
}

void Connection::Flush() {
    m_FlushQueued = false;
    if (m_HeldFrames > 0 && m_HeldFrames < MaxHeldFrames && m_Out.Bytes() < MaxHeldBytes) {
        return;
    }
    StartWrite();
}

void Connection::StartWrite() {
    m_HeldFrames = 0;
    // The socket is written at once while it takes bytes; only a full one is left to the event
    // loop. A small frame then leaves within the handler that queued it, and the next one
    // queued in the same turn does not wait for a completion handler to run first.
    while (!m_Closed && !m_Writing && !m_Out.Empty()) {
        std::array<OutQueue::Piece, std::tuple_size_v<decltype(m_Iov)>> pieces;
        const size_t count = m_Out.Gather(pieces.data(), pieces.size());
        for (size_t i = 0; i < count; ++i) {
            m_Iov[i] = asio::const_buffer(pieces[i].data, pieces[i].size);
        }
        const std::span<const asio::const_buffer> iov(m_Iov.data(), count);
        std::error_code error;
        const size_t n = m_Socket.write_some(iov, error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            m_Writing = true;
            m_Socket.async_write_some(
                iov, [self = shared_from_this()](const std::error_code& failure, size_t written) {
                    self->OnWrite(failure, written);
                });
            return;
        }
        if (error) {
            // Closed from a handler of its own, not from under whoever queued the bytes.
            m_Writing = true;
            asio::post(m_Socket.get_executor(), [self = shared_from_this(), error] {
                self->OnWrite(error, 0);
            });
            return;
        }
        Wrote(n);
    }
}

void Connection::OnWrite(const std::error_code& error, size_t n) {
    m_Writing = false;
    if (m_Closed) {
        return;
    }
    if (error) {
        Close(CloseCause::PeerGone, "write failed: " + error.message());
        return;
    }
    Wrote(n);
    StartWrite();
}

void Connection::Wrote(size_t n) {
    m_Out.Consume(n);
    m_Counters.Dequeued(n);
    m_Counters.BytesOut(n);
    m_BytesOut += n;
    m_LastWrite = Clock::now();
    m_Stalled = false;
    if (!m_DrainWaiters.empty() &&
        static_cast<int64_t>(m_Out.Charged()) <= RelayLimit() / 2) {
        WakeDrainWaiters();
    }
}

void Connection::WakeDrainWaiters() {
    std::vector<std::weak_ptr<Connection>> waiters = std::move(m_DrainWaiters);
    m_DrainWaiters.clear();
    for (const auto& weak : waiters) {
        if (const auto waiter = weak.lock()) {
            asio::post(m_Socket.get_executor(), [waiter] { waiter->Resume(); });
        }
    }
}

void Connection::Release(Connection& owner) {
    if (m_Owner != &owner) {
        return;
    }
    m_Owner = nullptr;
    if (m_Closed) {
        return;
    }
    for (const std::string& frame : m_Deferred) {
        Enqueue(frame.data(), frame.size());
    }
    m_Deferred.clear();
    m_DeferredBytes = 0;
    while (!m_OwnerWaiters.empty()) {
        const auto waiter = m_OwnerWaiters.front().lock();
        m_OwnerWaiters.pop_front();
        if (waiter && !waiter->m_Closed && waiter->m_WaitingOn == this) {
            m_Owner = waiter.get();
            waiter->Granted(*this);
            return;
        }
    }
}

} // namespace busd
