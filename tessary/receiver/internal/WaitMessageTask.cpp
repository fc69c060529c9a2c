#include "tessary/receiver/internal/WaitMessageTask.h"

#include "tessary/external/Log.h"

using ORVEX::Log::_XDWLog;

namespace ORVEX::Tessary::Controller {

namespace {

DString TaskName(const char* name) {
    DString text("WaitTask.");
    text << (name ? name : "");
    return text;
}

} // namespace

WaitMessageTask::WaitMessageTask(const char* name, int count)
    : BoolServer(TaskName(name).c_str()) {
    {
        _XDWLog log;
        log << "Enter WaitTask::ctor [" << GetName() << "], " << count
            << " WaitServer will be created";
    }
    for (int i = 0; i < count; ++i) {
        m_Servers.push_back(std::make_unique<WaitMessageServer>());
    }
}

WaitMessageTask::~WaitMessageTask() {
    _debug("Enter WaitTask::~dtor of %s", GetName());
    // The wait servers go first: each stops its thread, and a thread that is still running
    // (its stop gave up on a handler) reports nothing more, so the callables below are
    // released after the last report that could use them.
    m_Servers.clear();
    MessageHandler = nullptr;
    BLOBHandler = nullptr;
    HeartbeatHandler = nullptr;
    Heartbeat1MinuteHandler = nullptr;
    Heartbeat5MinuteHandler = nullptr;
    ServerOfflineHandler = nullptr;
    ServerOnlineHandler = nullptr;
    ServerGlitchHandler = nullptr;
    ServerRecoveredHandler = nullptr;
    AbstractServer::Stop();
}

bool WaitMessageTask::Start(uint32_t priorityLevel) {
    {
        _XDWLog log;
        log << "--T-- Enter WaitTask.Start";
    }
    BoolServer::Start(priorityLevel);
    for (const auto& server : m_Servers) {
        server->MessageHandler = MessageHandler;
        server->BLOBHandler = BLOBHandler;
        server->HeartbeatHandler = HeartbeatHandler;
        server->Heartbeat1MinuteHandler = Heartbeat1MinuteHandler;
        server->Heartbeat5MinuteHandler = Heartbeat5MinuteHandler;
        server->OfflineHandler = [this](const void* sender, EventArgs_Null* args) {
            FireServerOffline(sender, args);
        };
        server->OnlineHandler = [this](const void* sender, EventArgs_Null* args) {
            FireServerOnline(sender, args);
        };
        server->Start(priorityLevel);
    }
    return true;
}

bool WaitMessageTask::WillStop() {
    const bool result = BoolServer::WillStop();
    for (const auto& server : m_Servers) {
        server->WillStop();
    }
    return result;
}

bool WaitMessageTask::Stop() {
    _info("Enter WaitTask::Stop");
    BoolServer::Stop();
    for (const auto& server : m_Servers) {
        server->Stop();
    }
    return true;
}

void WaitMessageTask::ConnectTo(const DString& address, int port) {
    {
        _XDWLog log;
        log << "Enter WaitTask::ConnectTo "
            << DString::FromFormat("<%s : %d> ", address.c_str(), port);
    }
    int serverPort = port;
    for (const auto& server : m_Servers) {
        server->ConnectIPAddress = address;
        server->StatusPort = serverPort;
        DString name(GetName());
        name << "@" << serverPort;
        server->SetName(name.c_str());
        serverPort += 2;
    }
}

void WaitMessageTask::SetSourceID(const DString& id) {
    for (const auto& server : m_Servers) {
        server->SourceID = id;
    }
}

void WaitMessageTask::SetTimeOut(int seconds) {
    for (const auto& server : m_Servers) {
        server->TimeOut = seconds;
    }
}

void WaitMessageTask::SetTcpNoDelay(bool on) {
    for (const auto& server : m_Servers) {
        server->TcpNoDelay = on;
    }
}

void WaitMessageTask::SetMaxFrameBytes(int32_t bytes) {
    for (const auto& server : m_Servers) {
        server->MaxFrameBytes = bytes;
    }
}

bool WaitMessageTask::Subscribe(uint32_t command, int timeOut) {
    for (const auto& server : m_Servers) {
        server->Subscribe(command, timeOut);
    }
    return true;
}

bool WaitMessageTask::BUSSetting(uint32_t command, const char* key, const char* value) {
    for (const auto& server : m_Servers) {
        server->BUSSetting(command, key, value);
    }
    return true;
}

int WaitMessageTask::SetSocketOption(int level, int option, const char* value, int length) {
    for (const auto& server : m_Servers) {
        server->SetSocketOption(level, option, value, length);
    }
    return 1;
}

void WaitMessageTask::FireServerOffline(const void* sender, EventArgs_Null*) {
    if (m_bWillStop || m_bStopRequested) {
        return;
    }
    EventArgs_Int args(static_cast<const WaitMessageServer*>(sender)->StatusPort);
    {
        _XDWLog log;
        log << "Enter FireServerOffline";
    }
    // A copy, because the handler may destroy the receiver and with it this task.
    const WaitIntCallback handler = ServerOfflineHandler;
    if (handler) {
        handler(nullptr, &args);
    }
}

void WaitMessageTask::FireServerOnline(const void* sender, EventArgs_Null*) {
    if (m_bWillStop || m_bStopRequested) {
        return;
    }
    EventArgs_Int args(static_cast<const WaitMessageServer*>(sender)->StatusPort);
    {
        _XDWLog log;
        log << "Enter FireServerOnline";
    }
    // A copy, because the handler may destroy the receiver and with it this task.
    const WaitIntCallback handler = ServerOnlineHandler;
    if (handler) {
        handler(nullptr, &args);
    }
}

} // namespace ORVEX::Tessary::Controller
