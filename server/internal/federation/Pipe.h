#pragma once

#include "server/internal/federation/Envelope.h"
#include "tessary/protocol/shared/FrameCodec.h"

#include <asio.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>

namespace busd {

class Pipe;

// What a pipe needs from the federation that owns it. Called on the event loop.
class PipeHost {
public:
    // False when NATS would not take it (its reconnect buffer is full).
    virtual bool Send(const std::string& node, const Envelope& envelope) = 0;
    virtual void PipeClosed(Pipe& pipe) = 0;
    // The most frame bytes one message may carry.
    virtual size_t ChunkBytes() const = 0;

protected:
    ~PipeHost() = default;
};

// One end of a route between two nodes: a TCP connection to this node's own bus server,
// joined over NATS to the other node's end. On the sender's node the end is a proxy, a status
// connection registered under the remote receiver's id, so the bus server relays to it, keeps
// the senders' pending acknowledgements and fails them exactly as for a local receiver. On the
// receiver's node the end is an ingress, a command connection that sends what the proxy read,
// as the remote sender would, and reads the receiver's answers.
//
// Each direction is a credit window: a pipe reads its socket only while the other end has
// room, and grants room back as it writes what came to its own socket. So a BLOB crosses in
// chunks, and the bus servers on both sides hold their senders back as they would for a slow
// local receiver.
class Pipe : public std::enable_shared_from_this<Pipe> {
public:
    enum class Role { Proxy, Ingress };
    // Why a pipe ended, as told to the other end.
    static constexpr uint64_t Broken = 0;
    static constexpr uint64_t TargetGone = 1;

    Pipe(PipeHost& host, asio::io_context& io, Role role, std::string node, uint64_t token,
         std::string id, int64_t maxFrame);
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    // greeting goes out first (a proxy's subscriptions and Listen head); bytes delivered
    // before the connection is made wait for it.
    void Connect(const asio::ip::tcp::endpoint& endpoint, std::string greeting);
    // Bytes from the other end for this socket, in the order they were sent; they are written
    // from where they lie, held by keep until then.
    void Deliver(const Envelope& envelope, std::shared_ptr<const void> keep);
    void Credit(uint64_t bytes);
    // Frames of this node's own (a proxy's new subscriptions) that go out between two
    // delivered frames.
    void Inject(std::string frames);
    // Ends the pipe; the other end hears of it (with reason) when tellRemote.
    void Close(bool tellRemote, uint64_t reason = Broken);

    Role GetRole() const { return m_Role; }
    const std::string& Node() const { return m_Node; }
    uint64_t Token() const { return m_Token; }
    const std::string& Id() const { return m_Id; }
    bool IsClosed() const { return m_Closed; }
    // The socket's local address as the bus server names its peer, once connected.
    const std::string& LocalPeer() const { return m_LocalPeer; }
    // The proxy's subscriptions as sent to its bus server.
    std::set<int32_t>& Commands() { return m_Commands; }

private:
    struct Write {
        // This node's own frames, or a view into what keep holds.
        std::string Own;
        std::string_view Bytes;
        std::shared_ptr<const void> Keep;
        // What writing it earns the other end: injected frames earn nothing.
        uint64_t Credit = 0;

        std::string_view View() const { return Keep ? Bytes : std::string_view(Own); }
    };
    void Queue(std::string frames);

    void StartRead();
    void OnRead(const std::error_code& error, size_t n);
    // Whether this pipe carries the frame that starts with head to the other end; a Failed
    // read by an ingress ends it instead.
    bool Carries(const MessageHead& head);
    void Flush(bool frameEnd);
    void StartWrite();

    PipeHost& m_Host;
    asio::ip::tcp::socket m_Socket;
    const Role m_Role;
    const std::string m_Node;
    const uint64_t m_Token;
    const std::string m_Id;
    std::string m_LocalPeer;
    std::set<int32_t> m_Commands;
    bool m_Connected = false;
    bool m_Closed = false;

    // Reading: the socket's frames, cut into chunks for the other end.
    std::unique_ptr<char[]> m_In;
    bool m_Reading = false;
    FrameCodec m_Parser;
    bool m_Carrying = false;
    std::string m_Out;
    uint64_t m_SendSeq = 0;
    // Sent and not yet granted back.
    uint64_t m_Unacked = 0;

    // Writing: what the other end sent, then this node's own frames at a frame boundary.
    std::deque<Write> m_Writes;
    bool m_Writing = false;
    bool m_AtBoundary = true;
    std::string m_Injected;
    uint64_t m_RecvSeq = 0;
    uint64_t m_Written = 0;
    uint64_t m_Granted = 0;
};

} // namespace busd
