#include "tessary/receiver/BaseReceiver.h"

#include "tessary/client/internal/NoThrow.h"
#include "tessary/external/Log.h"
#include "tessary/protocol/internal/BUSNetPDUProxy.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tessary/protocol/internal/LogLines.h"
#include "tessary/receiver/internal/WaitMessageTask.h"
#include "tessary/receiver/internal/RaiseGuarded.h"
#include "tessary/setup/internal/Configuration.h"

#include <atomic>
#include <chrono>
#include <thread>

using ORVEX::Log::_XDWLog;

namespace ORVEX::Tessary::Controller {

namespace {

std::atomic<uint32_t> gReceiverCounter{0};

constexpr uint32_t ReceiverPriority = 4;
constexpr uint32_t UniqueSourceIDCallerID = 9870;

} // namespace

BaseReceiver::BaseReceiver()
    : ConnectIPAddress("127.0.0.1"), StatusPort(Configuration::DefStatusPort()),
      NbOfBUSServer(Configuration::NbOfBUSServer()), TCPTimeOut(std::atomic_ref<int>(gDefMSTimeOut).load() / 1000),
      InstanceID(gReceiverCounter.fetch_add(1) + 1), MaxFrameBytes(Configuration::MaxFrameBytes()) {
}

BaseReceiver::~BaseReceiver() {
    NoThrow(InstanceID, "BaseReceiver::~BaseReceiver", [this] {
        BaseReceiver::StopWait();
        delete WaitTask;
        WaitTask = nullptr;
    });
}

void BaseReceiver::CreateWaitTask(int count) {
    DString name;
    name << static_cast<int>(InstanceID) << "<" << SourceID << ">";
    delete WaitTask;
    WaitTask = nullptr;
    WaitTask = new WaitMessageTask(name.c_str(), count);
    WaitTask->SetTimeOut(TCPTimeOut);
    WaitTask->ConnectTo(ConnectIPAddress, StatusPort);
    WaitTask->SetSourceID(SourceID);
    WaitTask->SetTcpNoDelay(TcpNoDelay);
    WaitTask->SetMaxFrameBytes(MaxFrameBytes);
    WaitTask->MessageHandler = [this](uint32_t command, const void* sender,
                                      EventArgs_BUSMessage* args) {
        OnDummy(command, sender, args);
    };
    WaitTask->BLOBHandler = [this](uint32_t command, const void* sender, EventArgs_BUSBLOB* args) {
        OnDummy(command, sender, args);
    };
}

void BaseReceiver::StartWait() {
    NoThrow(InstanceID, "BaseReceiver::StartWait", [this] {
        {
            _XDWLog log;
            log.Brace(static_cast<int>(InstanceID)) << "Enter BaseReceiver.StartWait @" << SourceID;
        }
        CreateWaitTask(NbOfBUSServer);
        WaitTask->HeartbeatHandler = [this](const void* sender, EventArgs_Null* args) {
            OnHeartbeatRelay(sender, args);
        };
        WaitTask->Heartbeat1MinuteHandler = [this](const void* sender, EventArgs_Null* args) {
            OnHeartbeat1MinuteRelay(sender, args);
        };
        WaitTask->Heartbeat5MinuteHandler = [this](const void* sender, EventArgs_Null* args) {
            OnHeartbeat5MinuteRelay(sender, args);
        };
        WaitTask->ServerGlitchHandler = [this](const void* sender, EventArgs_Int* args) {
            OnServerGlitchRelay(sender, args);
        };
        WaitTask->ServerOfflineHandler = [this](const void* sender, EventArgs_Int* args) {
            OnServerOfflineRelay(sender, args);
        };
        WaitTask->ServerOnlineHandler = [this](const void* sender, EventArgs_Int* args) {
            OnServerOnlineRelay(sender, args);
        };
        WaitTask->ServerRecoveredHandler = [this](const void* sender, EventArgs_Int* args) {
            OnServerRecoveredRelay(sender, args);
        };
        WaitTask->Start(ReceiverPriority);
    });
}

void BaseReceiver::StopWait() {
    NoThrow(InstanceID, "BaseReceiver::StopWait", [this] {
        // Once per start: the destructors of every class in the chain come here again, and a
        // task already stopped has nothing left to stop.
        if (WaitTask != nullptr && WaitTask->GetStatus() != AbstractServer::StatusStopped) {
            // Every wait server's read is broken first, so they all wind down together while
            // Stop waits for them one by one.
            WaitTask->WillStop();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            WaitTask->Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        _debug("[%d] Leave BaseReceiver.StopWait ()", InstanceID);
        LogEmptyLine();
    });
}

bool BaseReceiver::Subscribe(unsigned long command, int timeOut) {
    return NoThrow(InstanceID, "BaseReceiver::Subscribe", false, [&] {
        const auto code = static_cast<int32_t>(command);
        const DString name = Command2String::Lookup(code);
        if (WaitTask == nullptr) {
            _error("[%d] Leave Subscribe, <%s> <--- %d (%s)", InstanceID, SourceID.c_str(), code,
                   name.c_str());
            _error("StartWait should be invoked before Subscribe !");
            return false;
        }
        _debug("[%d] Enter Subscribe, <%s> <--- %d (%s)", InstanceID, SourceID.c_str(), code,
               name.c_str());
        WaitTask->Subscribe(static_cast<uint32_t>(command), timeOut);
        return true;
    });
}

bool BaseReceiver::BUSSetting(unsigned long command, const char* key, const char* value) {
    return NoThrow(InstanceID, "BaseReceiver::BUSSetting", false, [&] {
        if (WaitTask == nullptr) {
            _XDWLog log(_XDWLog::SeverityError);
            log.Brace(static_cast<int>(InstanceID))
                << "Leave BaseReceiver.BUSSetting due to StartWait is not invoked !";
            return false;
        }
        WaitTask->BUSSetting(static_cast<uint32_t>(command), key, value);
        _XDWLog log;
        log.Brace(static_cast<int>(InstanceID)) << "Leave BaseReceiver.BUSSetting";
        return true;
    });
}

int BaseReceiver::SetSocketOption(int level, int option, const char* value, int length) {
    return NoThrow(InstanceID, "BaseReceiver::SetSocketOption", 0, [&] {
        if (WaitTask == nullptr) {
            _XDWLog log(_XDWLog::SeverityError);
            log.Brace(static_cast<int>(InstanceID))
                << "Leave BaseReceiver.SetSocketOption due to StartWait is not invoked !";
            return 0;
        }
        WaitTask->SetSocketOption(level, option, value, length);
        _XDWLog log;
        log.Brace(static_cast<int>(InstanceID)) << "Leave BaseReceiver.SetSocketOption";
        return 1;
    });
}

bool BaseReceiver::IsStarted() const { return WaitTask != nullptr && WaitTask->IsRunning(); }

bool BaseReceiver::SetTcpNoDelay(bool on) {
    const bool previous = TcpNoDelay;
    TcpNoDelay = on;
    return previous;
}

void BaseReceiver::SetTCPTimeOut(int seconds) { TCPTimeOut = seconds; }

void BaseReceiver::SetMaxFrameBytes(int bytes) {
    MaxFrameBytes = bytes > 0 ? bytes : Configuration::MaxFrameBytes();
}

DString BaseReceiver::GetSourceID() const {
    return NoThrow(InstanceID, "BaseReceiver::GetSourceID", DString(),
                   [this] { return SourceID; });
}

void BaseReceiver::SetSourceID(const char* id) {
    NoThrow(InstanceID, "BaseReceiver::SetSourceID", [this, id] { SourceID = id; });
}

void BaseReceiver::ConnectTo(const char* address) {
    NoThrow(InstanceID, "BaseReceiver::ConnectTo", [this, address] { ConnectIPAddress = address; });
}

DString BaseReceiver::GetConnectIPAddress() const {
    return NoThrow(InstanceID, "BaseReceiver::GetConnectIPAddress", DString(),
                   [this] { return ConnectIPAddress; });
}

DString BaseReceiver::SetUniqueSourceID(const char* id) {
    return NoThrow(InstanceID, "BaseReceiver::SetUniqueSourceID", DString(id), [this, id] {
        LogEmptyLine();
        _debug("Enter SetUniqueSourceID, connecting to <%s>", ConnectIPAddress.c_str());
        SourceID = id;
        // The command ports lie just below the status ports: base StatusPort - 1, steps of 2.
        BUSNetPDUProxy proxy(new BUSSendPDU(), BUSNetPDUProxy::DefaultRetryCount);
        if (proxy.Connect(ConnectIPAddress.c_str(), StatusPort - 1, NbOfBUSServer)) {
            SourceID = proxy.PDU->SetUniqueSourceID(id, UniqueSourceIDCallerID);
            _debug("Leave BaseReceiver.SetUniqueSourceID, get <%s>", SourceID.c_str());
            LogEmptyLine();
        }
        return SourceID;
    });
}

void BaseReceiver::OnDummy(unsigned long command, const void*, DelegateArgs*) {
    _error("Enter BaseReceiver.OnDummy for %d", static_cast<int>(command));
}

void BaseReceiver::OnHeartbeatRelay(const void* sender, EventArgs_Null* args) {
    RaiseGuarded(HeartbeatEvent, sender, args, "Exception catched at BaseReceiver::OnHeartbeatRelay");
}

void BaseReceiver::OnHeartbeat1MinuteRelay(const void* sender, EventArgs_Null* args) {
    RaiseGuarded(Heartbeat1MinuteEvent, sender, args,
                 "Exception catched at BaseReceiver::OnHeartbeat1MinuteRelay");
}

void BaseReceiver::OnHeartbeat5MinuteRelay(const void* sender, EventArgs_Null* args) {
    RaiseGuarded(Heartbeat5MinuteEvent, sender, args,
                 "Exception catched at BaseReceiver::OnHeartbeat5MinuteRelay");
}

void BaseReceiver::OnServerGlitchRelay(const void* sender, EventArgs_Int* args) {
    RaiseGuarded(ServerGlitchEvent, sender, args,
                 "Exception catched at BaseReceiver::OnServerGlitchRelay");
}

void BaseReceiver::OnServerOfflineRelay(const void* sender, EventArgs_Int* args) {
    RaiseGuarded(ServerOfflineEvent, sender, args,
                 "Exception catched at BaseReceiver::OnServerOfflineRelay");
}

void BaseReceiver::OnServerOnlineRelay(const void* sender, EventArgs_Int* args) {
    RaiseGuarded(ServerOnlineEvent, sender, args,
                 "Exception catched at BaseReceiver::OnServerOnlineRelay");
}

void BaseReceiver::OnServerRecoveredRelay(const void* sender, EventArgs_Int* args) {
    RaiseGuarded(ServerRecoveredEvent, sender, args,
                 "Exception catched at BaseReceiver::OnServerRecoveredRelay");
}

} // namespace ORVEX::Tessary::Controller
