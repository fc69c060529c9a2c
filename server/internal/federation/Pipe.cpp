#include "server/internal/federation/Pipe.h"

#include "tessary/external/Log.h"

#include <cstring>

namespace busd {

namespace {

constexpr size_t ReadBytes = 256 * 1024;
// Bytes a pipe may have in flight towards the other end: enough to keep a BLOB moving at the
// speed of the cluster, small enough that neither node's memory grows with the BLOB.
constexpr uint64_t Window = 8 * 1024 * 1024;
// Room is granted back in quarters of the window, not per write.
constexpr uint64_t GrantStep = Window / 4;

} // namespace

Pipe::Pipe(PipeHost& host, asio::io_context& io, Role role, std::string node, uint64_t token,
           std::string id, int64_t maxFrame)
    : m_Host(host), m_Socket(io), m_Role(role), m_Node(std::move(node)), m_Token(token),
      m_Id(std::move(id)), m_In(new char[ReadBytes]), m_Parser(maxFrame) {}

void Pipe::Connect(const asio::ip::tcp::endpoint& endpoint, std::string greeting) {
    if (!greeting.empty()) {
        Write write;
        write.Own = std::move(greeting);
        m_Writes.push_front(std::move(write));
    }
    m_Socket.async_connect(endpoint, [self = shared_from_this()](const std::error_code& error) {
        if (self->m_Closed) {
            return;
        }
        if (error) {
            _warning("busd: cluster: cannot reach the local bus server for <%s>: %s",
                     self->m_Id.c_str(), error.message().c_str());
            self->Close(true);
            return;
        }
        std::error_code ignored;
        self->m_Socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        const auto local = self->m_Socket.local_endpoint(ignored);
        self->m_LocalPeer = local.address().to_string() + ":" + std::to_string(local.port());
        self->m_Connected = true;
        self->StartWrite();
        self->StartRead();
    });
}

void Pipe::StartRead() {
    if (m_Closed || !m_Connected || m_Reading || m_Unacked >= Window) {
        return;
    }
    m_Reading = true;
    m_Socket.async_read_some(asio::buffer(m_In.get(), ReadBytes),
                             [self = shared_from_this()](const std::error_code& error, size_t n) {
                                 self->OnRead(error, n);
                             });
}

bool Pipe::Carries(const MessageHead& head) {
    if (m_Role == Role::Proxy) {
        // The bus server's own frames (SYNC, heartbeats, the on-line message, answers to the
        // subscriptions) are for this connection only.
        const bool fromServer = IdFieldText(head.SourceID) == BUSServerID;
        return (head.Type == HeadType::Message || head.Type == HeadType::MessageAlt) &&
               !fromServer;
    }
    if (head.Type == HeadType::Failed) {
        // The receiver was not registered, or went while a sender waited on it.
        Close(true, TargetGone);
        return false;
    }
    return head.Type == HeadType::Ack || head.Type == HeadType::Error;
}

void Pipe::OnRead(const std::error_code& error, size_t n) {
    m_Reading = false;
    if (m_Closed) {
        return;
    }
    if (error) {
        Close(true);
        return;
    }
    const size_t chunk = m_Host.ChunkBytes();
    size_t pos = 0;
    while (pos < n && !m_Closed) {
        size_t consumed = 0;
        const FrameCodec::Step step = m_Parser.Next(m_In.get() + pos, n - pos, consumed);
        pos += consumed;
        if (step.status == FrameCodec::Status::Error) {
            _warning("busd: cluster: bad frame from the local bus server for <%s>: %s",
                     m_Id.c_str(), m_Parser.ErrorText().c_str());
            Close(true);
            return;
        }
        if (step.status != FrameCodec::Status::Segment) {
            continue;
        }
        if (step.part == FrameCodec::Part::Head) {
            m_Carrying = Carries(m_Parser.Head());
            if (m_Carrying && m_Role == Role::Proxy && IdFieldText(m_Parser.Head().TargetID).empty()) {
                // A publish reaches this proxy once per subscribed id; addressed to that id it
                // reaches that receiver alone on the other node, not every subscriber again.
                MessageHead head = m_Parser.Head();
                head.SetTargetID(m_Id.c_str());
                m_Out.append(reinterpret_cast<const char*>(&head), sizeof head);
                continue;
            }
        }
        if (m_Carrying) {
            m_Out.append(step.data, step.size);
            if (m_Out.size() >= chunk) {
                Flush(step.part == FrameCodec::Part::Tail);
            }
        }
    }
    if (m_Closed) {
        return;
    }
    if (!m_Out.empty()) {
        Flush(!m_Parser.MidFrame());
    }
    StartRead();
}

void Pipe::Flush(bool frameEnd) {
    Envelope envelope;
    envelope.Kind = m_Role == Role::Proxy ? EnvelopeKind::ToIngress : EnvelopeKind::ToProxy;
    envelope.FrameEnd = frameEnd;
    envelope.Token = m_Token;
    envelope.Seq = m_SendSeq++;
    envelope.Bytes = m_Out;
    if (!m_Host.Send(m_Node, envelope)) {
        // The other end would wait for bytes that never come.
        Close(true);
        return;
    }
    m_Unacked += m_Out.size();
    m_Out.clear();
}

void Pipe::Credit(uint64_t bytes) {
    m_Unacked -= std::min(bytes, m_Unacked);
    StartRead();
}

void Pipe::Deliver(const Envelope& envelope, std::shared_ptr<const void> keep) {
    if (m_Closed) {
        return;
    }
    if (envelope.Seq != m_RecvSeq) {
        // NATS dropped a message (a reconnect, typically): what follows would be half frames.
        _warning("busd: cluster: route for <%s> with node %s lost data, closing it", m_Id.c_str(),
                 m_Node.c_str());
        Close(true);
        return;
    }
    ++m_RecvSeq;
    Write write;
    write.Bytes = envelope.Bytes;
    write.Keep = std::move(keep);
    write.Credit = envelope.Bytes.size();
    m_Writes.push_back(std::move(write));
    m_AtBoundary = envelope.FrameEnd;
    if (m_AtBoundary && !m_Injected.empty()) {
        Queue(std::move(m_Injected));
        m_Injected.clear();
    }
    StartWrite();
}

void Pipe::Inject(std::string frames) {
    if (m_AtBoundary) {
        Queue(std::move(frames));
        StartWrite();
    } else {
        m_Injected += frames;
    }
}

void Pipe::Queue(std::string frames) {
    Write write;
    write.Own = std::move(frames);
    m_Writes.push_back(std::move(write));
}

void Pipe::StartWrite() {
    if (m_Closed || !m_Connected || m_Writing || m_Writes.empty()) {
        return;
    }
    m_Writing = true;
    asio::async_write(m_Socket, asio::buffer(m_Writes.front().View()),
                      [self = shared_from_this()](const std::error_code& error, size_t) {
                          self->m_Writing = false;
                          if (self->m_Closed) {
                              return;
                          }
                          if (error) {
                              self->Close(true);
                              return;
                          }
                          self->m_Written += self->m_Writes.front().Credit;
                          self->m_Writes.pop_front();
                          if (self->m_Written - self->m_Granted >= GrantStep) {
                              Envelope credit;
                              credit.Kind = self->m_Role == Role::Proxy
                                                ? EnvelopeKind::CreditToIngress
                                                : EnvelopeKind::CreditToProxy;
                              credit.Token = self->m_Token;
                              credit.Value = self->m_Written - self->m_Granted;
                              self->m_Granted = self->m_Written;
                              self->m_Host.Send(self->m_Node, credit);
                          }
                          self->StartWrite();
                      });
}

void Pipe::Close(bool tellRemote, uint64_t reason) {
    if (m_Closed) {
        return;
    }
    m_Closed = true;
    std::error_code ignored;
    m_Socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_Socket.close(ignored);
    m_Writes.clear();
    m_Out.clear();
    if (tellRemote) {
        Envelope envelope;
        envelope.Kind =
            m_Role == Role::Proxy ? EnvelopeKind::CloseIngress : EnvelopeKind::CloseProxy;
        envelope.Token = m_Token;
        envelope.Value = reason;
        m_Host.Send(m_Node, envelope);
    }
    m_Host.PipeClosed(*this);
}

} // namespace busd
