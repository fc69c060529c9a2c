#include "tessary/receiver/internal/WaitMessageServer.h"

#include "tessary/external/Log.h"
#include "tessary/protocol/internal/BUSNetPDU.h"
#include "tessary/protocol/internal/BUSSendPDU.h"
#include "tessary/protocol/internal/FastJsonEncoder.h"
#include "tessary/receiver/internal/WaitConnection.h"
#include "tessary/setup/internal/Configuration.h"

#include <chrono>
#include <thread>

using ORVEX::Log::_XDWLog;

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

constexpr int StopWaitSeconds = 5;
constexpr std::chrono::milliseconds FirstStartWait{50};
constexpr std::chrono::milliseconds SlowStartCheck{10};
constexpr int SlowStartRounds = 10;
constexpr std::chrono::seconds ExitWait{1};
// CallerID of the settings a wait server posts for its receiver.
constexpr uint32_t SettingCallerID = 9876;

} // namespace

WaitMessageServer::WaitMessageServer()
    : AbstractServer(nullptr), ConnectIPAddress("127.0.0.1"),
      StatusPort(Configuration::DefStatusPort()), MaxFrameBytes(Configuration::MaxFrameBytes()),
      m_Connection(std::make_shared<WaitConnection>(WaitSettings{})) {
    m_StopWaitLimit = StopWaitSeconds;
}

WaitMessageServer::~WaitMessageServer() {
    {
        _XDWLog log;
        log << "WaitServer::dtor of " << GetName();
    }
    // The thread keeps its own hold on the connection: if the stop below gives up on it, it
    // finishes its handler and its loop on that, never on this object.
    if (IsStarted()) {
        m_Connection->RequestStop();
    }
    AbstractServer::Stop();
    WaitForExit();
}

void WaitMessageServer::OnExit() { Announce(m_bExited); }

bool WaitMessageServer::ForceQuit() {
    Announce(m_bGivenUp);
    return true;
}

void WaitMessageServer::Announce(std::atomic<bool>& flag) {
    std::lock_guard lock(m_ProgressMutex);
    flag = true;
    m_Progress.notify_all();
}

void WaitMessageServer::WaitForExit() {
    // The thread's last steps are a few log lines; the bound only matters for a thread that
    // ended by an escaped fault, which skips OnExit.
    std::unique_lock lock(m_ProgressMutex);
    m_Progress.wait_for(lock, ExitWait, [this] { return m_bExited || m_bGivenUp; });
}

bool WaitMessageServer::WaitRunning(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_ProgressMutex);
    return m_Progress.wait_for(lock, limit, [this] { return IsRunning(); });
}

bool WaitMessageServer::Start(uint32_t priorityLevel) {
    if (!IsStarted()) {
        // A fresh connection for every thread: one that outlived an earlier stop keeps its own.
        WaitSettings settings;
        settings.Name = GetName();
        settings.ConnectIPAddress = ConnectIPAddress;
        settings.StatusPort = StatusPort;
        settings.SourceID = SourceID;
        settings.TimeOut = TimeOut;
        settings.TcpNoDelay = TcpNoDelay;
        settings.MaxFrameBytes = MaxFrameBytes;
        settings.MessageHandler = MessageHandler;
        settings.BLOBHandler = BLOBHandler;
        settings.HeartbeatHandler = HeartbeatHandler;
        settings.Heartbeat1MinuteHandler = Heartbeat1MinuteHandler;
        settings.Heartbeat5MinuteHandler = Heartbeat5MinuteHandler;
        settings.OfflineHandler = OfflineHandler;
        settings.OnlineHandler = OnlineHandler;
        settings.Sender = this;
        m_Connection = std::make_shared<WaitConnection>(std::move(settings));
        m_bExited = false;
        m_bGivenUp = false;
    }
    const bool result = AbstractServer::Start(priorityLevel);
    if (!result && !IsStarted()) {
        m_bExited = true;
    }

    // The thread always gets its first 50 ms before Start returns, as callers have always
    // seen; one slow to come up is waited for a while longer, with a warning each round.
    std::this_thread::sleep_for(FirstStartWait);
    if (!IsRunning()) {
        for (int i = 0; i < SlowStartRounds; ++i) {
            if (WaitRunning(SlowStartCheck)) {
                break;
            }
            _warning("Enter WaitServer.Start, the Server is too slower, waiting ...");
            if (WaitRunning(FirstStartWait)) {
                break;
            }
        }
    }
    return result;
}

int32_t WaitMessageServer::Run(uint64_t) {
    // Only the connection is used from here on: a handler may destroy this object on this very
    // thread, and Stop may give up on the thread and let the object go. Every way out of the
    // loop follows a stop that has already set m_bWillStop, so the framework does not restart
    // the body.
    const std::shared_ptr<WaitConnection> connection = m_Connection;
    {
        // The framework has marked the thread running: a Start waiting for that may go on.
        std::lock_guard lock(m_ProgressMutex);
        m_Progress.notify_all();
    }
    connection->Run();
    return 1;
}

bool WaitMessageServer::StartWait() {
    const std::shared_ptr<WaitConnection> connection = m_Connection;
    return connection->StartWait();
}

bool WaitMessageServer::WillStop() {
    Resume();
    bool result = false;
    if (!IsStarted()) {
        LogNotRunning();
    } else {
        // The framework's flag first: a thread that sees the connection's flag then finds it.
        m_bWillStop = true;
        m_Connection->RequestWillStop();
        _debug("Leave [%s]::WillStop, m_bWillStop is setted to true", GetName());
        result = true;
    }
    m_Connection->BreakRead();
    return result;
}

bool WaitMessageServer::Stop() {
    _info("Enter WaitServer::Stop");
    if (WillStop()) {
        m_Connection->RequestStop();
    }
    const bool result = AbstractServer::Stop();
    WaitForExit();
    {
        _XDWLog log;
        log << "Leave WaitServer::Stop, total " << static_cast<int>(GetMessageCount())
            << " Message received";
    }
    return result;
}

bool WaitMessageServer::IsConnected() const { return m_Connection->IsConnected(); }

uint32_t WaitMessageServer::GetMessageCount() const { return m_Connection->MessageCount(); }

int WaitMessageServer::SetSocketOption(int level, int option, const char* value, int length) {
    return m_Connection->SetSocketOption(level, option, value, length);
}

bool WaitMessageServer::Subscribe(uint32_t command, int timeOut) {
    // A subscription right after the start is worth a short wait for the first connection;
    // it goes out on a session of its own either way.
    for (int pause : {50, 100, 200}) {
        if (IsConnected()) {
            break;
        }
        SleepMs(pause);
    }
    RaiseSubscriptionCounter();
    for (int attempt = 0; attempt < 2; ++attempt) {
        BUSNetPDU session;
        if (session.Connect(ConnectIPAddress.c_str(), StatusPort - 1) &&
            session.Subscribe(SourceID.c_str(), static_cast<int32_t>(command), timeOut)) {
            return true;
        }
        if (attempt == 0) {
            _warning("[%s] Subscribe, socket reconnecting ...", GetName());
        }
    }
    _error("[%s] Leave Subscribe, socket is closed ?", GetName());
    return false;
}

bool WaitMessageServer::BUSSetting(uint32_t command, const char* key, const char* value) {
    static constexpr struct {
        const char* Line;
        int PauseMs;
    } Retries[] = {
        {"BUSSetting, connect failed, retrying ...", 20},
        {"BUSSetting, connect failed, 2nd retrying ...", 100},
        {"BUSSetting, connect failed, 3rd retrying ...", 200},
    };
    BUSSendPDU session;
    bool connected = session.Connect(ConnectIPAddress.c_str(), StatusPort);
    for (const auto& retry : Retries) {
        if (connected) {
            break;
        }
        {
            _XDWLog log(_XDWLog::SeverityWarning);
            log << retry.Line;
        }
        SleepMs(retry.PauseMs);
        connected = session.Connect(ConnectIPAddress.c_str(), StatusPort);
    }
    if (!connected) {
        return false;
    }
    {
        _XDWLog log;
        log << "Enter WaitServer.BUSSetting, <" << static_cast<int>(command) << ","
            << (key ? key : "") << " --> " << (value ? value : "") << ">";
    }
    FastJsonEncoder<DString> encoder;
    encoder.Add(key, value);
    const bool result = session.BUSSetting(SourceID.c_str(), static_cast<int32_t>(command),
                                           encoder.Encode(), SettingCallerID);
    _debug("Leave WaitServer.BUSSetting");
    return result;
}
