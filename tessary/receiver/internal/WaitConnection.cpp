#include "tessary/receiver/internal/WaitConnection.h"

#include "tessary/external/Log.h"
#include "tessary/foundation/internal/ExceptionGuard.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tessary/protocol/shared/FrameReader.h"
#include "tessary/protocol/internal/LogLines.h"

#include <atomic>
#include <chrono>
#include <thread>

using ORVEX::Log::_XDWLog;

namespace {

// Raised before each registration; the raised value is the Listen head's CallerID.
std::atomic<uint32_t> gRegistrationCounter{0};
// Written by every SYNC, read by every wait server when a Heartbeat arrives.
std::atomic<bool> gHeartbeatLogging{false};

constexpr auto PauseStep = std::chrono::milliseconds(10);
// CallerID of the TcpNoDelay setting posted right after connecting.
constexpr uint32_t TcpNoDelayCallerID = 1230;

} // namespace

bool HeartbeatLogging() { return gHeartbeatLogging.load(); }

int32_t SyncTimeOutSeconds(int32_t heartRateMs) {
    const int32_t s = heartRateMs / 1000;
    const int32_t t = s + (s >> 1);
    return t < 2 ? 2 : t;
}

DString BLOBSizeSuffix(int32_t cbBLOB) {
    if (cbBLOB == 0) {
        return DString();
    }
    const auto size = static_cast<uint32_t>(cbBLOB);
    if (size < 4096) {
        return DString::FromFormat(" + %d bytes", static_cast<int>(size));
    }
    if (size < 4194304) {
        return DString::FromFormat(" + %d KB", static_cast<int>(size / 1024));
    }
    return DString::FromFormat(" + %d MB", static_cast<int>(size / 1048576));
}

DString RouteText(const DString& from, const DString& to) {
    DString text;
    text << "<" << from << "> -> <" << to << ">";
    return text;
}

DString CommandRouteText(const MessageHead& head) {
    DString text = RouteText(head.GetSourceID(), head.GetTargetID());
    text << " of <" << head.Command << " (" << Command2String::Lookup(head.Command) << ")>";
    return text;
}

DString WaitConnection::TraceTag(const MessageHead& head) const {
    return DString::FromFormat("[%d : %d] [@%d] ", head.MessageID, head.CallerID,
                               m_Settings.StatusPort);
}

DString WaitConnection::AddressText() const {
    return DString::FromFormat("<%s : %d> ", m_Settings.ConnectIPAddress.c_str(),
                               m_Settings.StatusPort);
}

DString WaitConnection::WaitTag() const {
    return DString::FromFormat("[%d][%s]", m_Settings.StatusPort, m_Settings.SourceID.c_str());
}

void WaitConnection::BreakRead() {
    Socket& socket = m_Connection.GetSocket();
    socket.SetReceiveTimeOut(1);
    socket.Teardown();
}

int WaitConnection::SetSocketOption(int level, int option, const char* value, int length) {
    return m_Connection.GetSocket().SetOption(level, option, value, length);
}

void WaitConnection::FireOffline() {
    if (!Stopping() && m_Settings.OfflineHandler) {
        m_Settings.OfflineHandler(m_Settings.Sender, nullptr);
    }
}

void WaitConnection::FireOnline() {
    if (!Stopping() && m_Settings.OnlineHandler) {
        m_Settings.OnlineHandler(m_Settings.Sender, nullptr);
    }
}

void WaitConnection::Run() {
    const char* name = m_Settings.Name.c_str();
    _debug("Enter [%s]::Run, waiting message of [%s]", name, m_Settings.SourceID.c_str());
    m_MessageCount = 0;
    if (!m_bStopRequested) {
        do {
            if (m_bWillStop) {
                break;
            }
            StartWait();
        } while (!m_bStopRequested);
    }
    _debug("Leave [%s]::Run, total %d message", name, static_cast<int>(m_MessageCount.load()));
    m_bWillStop = true;
}

namespace {

// The pauses between connections end early on a stop, so that stopping never waits for them.
void Pause(const WaitConnection& connection, std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!connection.Stopping() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(PauseStep);
    }
}

} // namespace

bool WaitConnection::StartWait() {
    const char* name = m_Settings.Name.c_str();
    const char* sourceID = m_Settings.SourceID.c_str();
    _debug("Enter [%s]::StartWait, waiting message at [%s]", name, sourceID);

    MessageHead registration(HeadType::Listen);
    registration.CallerID = gRegistrationCounter.fetch_add(1) + 1;
    registration.TickCount = TickCount32();
    registration.SetSourceID(sourceID);

    LogEmptyLine();
    {
        _XDWLog log(_XDWLog::SeverityDebug);
        log.Brace(name) << "is connecting to " << AddressText();
    }
    LogEmptyLine();

    Socket& socket = m_Connection.GetSocket();
    NetBuffer& stream = m_Connection.Stream();
    socket.SetReceiveTimeOut(m_Settings.TimeOut);
    _debug("WaitServer.TimeOut (seconds) : %d", m_Settings.TimeOut);
    stream.Close();
    // Whatever the last connection left half read or half written belongs to it.
    stream.Reset();
    stream.Connect(m_Settings.ConnectIPAddress.c_str(), m_Settings.StatusPort);
    if (!socket.IsConnected()) {
        {
            _XDWLog log(_XDWLog::SeverityWarning);
            log.Brace(name) << "failed to connect to " << AddressText();
        }
        FireOffline();
        Pause(*this, std::chrono::milliseconds(200));
        Pause(*this, std::chrono::milliseconds(200));
        return false;
    }

    if (m_Settings.TcpNoDelay) {
        socket.SetTcpNoDelay(true);
        m_Connection.PostTcpNoDelay(sourceID, TcpNoDelayCallerID);
    }
    // The registration is the head alone: the bus server knows a status connection by it.
    stream.Write(&registration, sizeof registration);
    stream.Flush();
    {
        _XDWLog log;
        log.Brace(name) << "is listening to " << AddressText();
    }

    while (!Stopping()) {
        bool result = false;
        RunGuarded([&] { result = WaitOneMessage(); }, "Exception at WaitOneMessage");
        if (Stopping()) {
            break;
        }
        if (!socket.IsConnected()) {
            FireOffline();
        }
        if (!result) {
            stream.Close();
            Pause(*this, std::chrono::milliseconds(200));
            break;
        }
    }
    stream.Close();
    m_LastBLOB.LetGo();
    return true;
}

bool WaitConnection::ReadTailOnly() { return ReadTail(m_Connection.Stream()); }

bool WaitConnection::WaitOneMessage() {
    if (!m_Connection.IsConnected()) {
        _XDWLog log(_XDWLog::SeverityWarning);
        log << WaitTag() << " WaitOneMessage, socket is down, return now";
        return false;
    }
    NetBuffer& stream = m_Connection.Stream();
    MessageHead head;
    const int32_t count = stream.ReadBytes(&head, sizeof head);
    if (count <= 0) {
        if (m_bWillStop) {
            _XDWLog log;
            log << WaitTag() << " Leave WaitOneMessage due to m_bWillStop is true";
        } else {
            _XDWLog log(_XDWLog::SeverityWarning);
            log << WaitTag() << " Leave WaitOneMessage, get an invalid head. Is the socket closed ?";
        }
        return false;
    }
    if (count < static_cast<int32_t>(sizeof head)) {
        _XDWLog log(_XDWLog::SeverityWarning);
        log << WaitTag() << " WaitOneMessage get an invalid head !";
        return false;
    }

    // Each test logs a head of a newer version once and fails it, so such a head is logged
    // six times and skipped.
    const DString& sourceID = m_Settings.SourceID;
    if (head.Is(HeadType::Message) || head.Is(HeadType::MessageAlt)) {
        // A frame over the limit is refused unread; one whose rest failed to read has left the
        // stream mid-frame. Either way the connection is renewed at once, rather than the next
        // head being looked for among bytes that belong to no head.
        return FrameWithinLimit(head, m_Settings.MaxFrameBytes) && FireMessage(head);
    }
    if (head.Is(HeadType::Heartbeat)) {
        ReadTailOnly();
        // An idle receiver gives back the block it kept for the next BLOB.
        m_LastBLOB.LetGo();
        if (m_Settings.HeartbeatHandler) {
            m_Settings.HeartbeatHandler(nullptr, nullptr);
        }
        if (HeartbeatLogging()) {
            _tinfo("<---- %sWaitServer get a Heartbeat Message at <%s>", TraceTag(head).c_str(),
                   sourceID.c_str());
        }
        return true;
    }
    if (head.Is(HeadType::Heartbeat1Minute)) {
        ReadTailOnly();
        if (m_Settings.Heartbeat1MinuteHandler) {
            m_Settings.Heartbeat1MinuteHandler(nullptr, nullptr);
        }
        _tinfo("<---- %sWaitServer get a Heartbeat1Minute Message at <%s>",
               TraceTag(head).c_str(), sourceID.c_str());
        return true;
    }
    if (head.Is(HeadType::Heartbeat5Minute)) {
        ReadTailOnly();
        if (m_Settings.Heartbeat5MinuteHandler) {
            m_Settings.Heartbeat5MinuteHandler(nullptr, nullptr);
        }
        _tinfo("<---- %sWaitServer get a Heartbeat5Minute Message at <%s>",
               TraceTag(head).c_str(), sourceID.c_str());
        return true;
    }
    if (head.Is(HeadType::SYNC)) {
        ReadTailOnly();
        HandleSync(head);
        return true;
    }

    // Bytes without a head's magic are no frame: the lengths they seem to announce mean
    // nothing, and reading by them could only wait for bytes that never come.
    if (head.Magic != HeadMagic) {
        _XDWLog log(_XDWLog::SeverityWarning);
        log << WaitTag() << " WaitOneMessage get an invalid head !";
        return false;
    }
    const bool skipped =
        FrameWithinLimit(head, m_Settings.MaxFrameBytes) && SkipFrameRest(stream, head);
    _XDWLog log(_XDWLog::SeverityWarning);
    log << "<---- " << TraceTag(head) << "WaitServer get an inavalid message of Type : 0x"
        << DString::FromFormat("%0x", head.Type);
    return skipped;
}

void WaitConnection::HandleSync(const MessageHead& head) {
    _tinfo("--Y->%sWaitServer get a SYNC Message at <%s>", TraceTag(head).c_str(),
           m_Settings.SourceID.c_str());
    gHeartbeatLogging = head.HasFlag(HeadFlag::LogHeartbeats);
    if (head.Command == FixedCommand::HeartRate) {
        const int32_t seconds = SyncTimeOutSeconds(head.Value);
        _debug("SYNC of HeartRate of %d MS, set timeout to %d seconds", head.Value, seconds);
        m_Connection.GetSocket().SetReceiveTimeOut(seconds);
    }
}
