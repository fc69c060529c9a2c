#include "tessary/client/Client.h"

#include "tessary/client/internal/NoThrow.h"
#include "tessary/external/Log.h"
#include "tessary/protocol/internal/BUSNetPDUProxy.h"
#include "tessary/protocol/internal/FastJsonEncoder.h"
#include "tessary/protocol/internal/LogLines.h"
#include "tessary/setup/internal/Configuration.h"

#include <atomic>

namespace ORVEX::Tessary::Controller {

namespace {

// Serial numbers of the clients of the process; the first client gets 1.
std::atomic<uint32_t> gClientCounter{0};

} // namespace

Client::Client() {
    // Prepare runs the one-time set-up only while bInited is false, and reads that flag in a
    // way that is safe when clients are constructed on several threads at once.
    Prepare();
    ConnectIPAddress = "127.0.0.1";
    CommandPort = GetDefCommandPort();
    NbOfBUSServer = Configuration::NbOfBUSServer();
    InstanceID = gClientCounter.fetch_add(1) + 1;
    CreateSession();
}

Client::~Client() {
    Client::Close();
    DestroySession();
}

void Client::CreateSession() {
    PDUProxy = new BUSNetPDUProxy(new BUSSendPDU());
    AddClassHandler(PDUProxy->PDU->PDUError, this, &Client::OnBusPDUError);
}

void Client::DestroySession() {
    if (PDUProxy == nullptr) {
        return;
    }
    PDUProxy->PDU->Stream().Reset();
    PDUProxy->PDU->Stream().Close();
    delete PDUProxy;
    PDUProxy = nullptr;
}

bool Client::Connect() {
    return NoThrow(InstanceID, "Client::Connect", false, [this] {
        BUSSendPDU& pdu = *PDUProxy->PDU;
        if (pdu.IsConnected()) {
            return true;
        }
        PDUProxy->Connect(ConnectIPAddress.c_str(), CommandPort, NbOfBUSServer);
        if (!pdu.IsConnected()) {
            return false;
        }
        if (TcpNoDelay) {
            pdu.GetSocket().SetTcpNoDelay(true);
            pdu.PostTcpNoDelay(SourceID.c_str(), InstanceID);
        }
        return true;
    });
}

void Client::Disconnect() {
    NoThrow(InstanceID, "Client::Disconnect", [this] {
        _debug("[%d] Enter Client::Disconnect", InstanceID);
        PDUProxy->PDU->Stream().Close();
    });
}

void Client::Close() {
    NoThrow(InstanceID, "Client::Close", [this] {
        LogEmptyLine();
        DestroySession();
        CreateSession();
        _debug("[%d] Leave BUS::Client::Close ()", InstanceID);
    });
}

void Client::ConnectTo(const char* ip) {
    NoThrow(InstanceID, "Client::ConnectTo", [this, ip] { ConnectIPAddress = ip; });
}

DString Client::GetConnectIPAddress() const {
    return NoThrow(InstanceID, "Client::GetConnectIPAddress", DString(),
                   [this] { return ConnectIPAddress; });
}

void Client::SetSourceID(const char* id) {
    NoThrow(InstanceID, "Client::SetSourceID", [this, id] { SourceID = id; });
}

DString Client::GetSourceID() const {
    return NoThrow(InstanceID, "Client::GetSourceID", DString(), [this] { return SourceID; });
}

DString Client::SetUniqueSourceID(const char* id) {
    return NoThrow(InstanceID, "Client::SetUniqueSourceID", DString(id), [this, id] {
        LogEmptyLine();
        _debug("[%d] Enter SetUniqueSourceID, connecting to <%s>", InstanceID,
               ConnectIPAddress.c_str());
        SourceID = id;
        if (Connect()) {
            SourceID = PDUProxy->PDU->SetUniqueSourceID(id, InstanceID);
            _debug("[%d] Leave SetUniqueSourceID, get <%s>", InstanceID, SourceID.c_str());
            LogEmptyLine();
        }
        return SourceID;
    });
}

bool Client::SetTcpNoDelay(bool on) {
    const bool previous = TcpNoDelay;
    TcpNoDelay = on;
    return previous;
}

int Client::SetSocketOption(int level, int option, const char* value, int length) {
    return NoThrow(InstanceID, "Client::SetSocketOption", 0, [&] {
        if (!Connect()) {
            return 0;
        }
        return PDUProxy->PDU->GetSocket().SetOption(level, option, value, length);
    });
}

bool Client::IsOnline(const char* targetID) {
    return NoThrow(InstanceID, "Client::IsOnline", false, [this, targetID] {
        LogEmptyLine();
        _debug("[%d] Enter IsOnline, TargetID : %s", InstanceID, targetID ? targetID : "");
        if (targetID == nullptr || *targetID == '\0') {
            return false;
        }
        if (!Connect()) {
            return false;
        }
        const bool online = PDUProxy->PDU->Enquiry(SourceID.c_str(), targetID, InstanceID);
        if (online) {
            _info("[%d] Leave IsOnline, <%s> is online", InstanceID, targetID);
        } else {
            _warning("[%d] Leave IsOnline, <%s> is offline", InstanceID, targetID);
        }
        LogEmptyLine();
        return online;
    });
}

bool Client::BUSSetting(unsigned long command, const char* key, const char* value) {
    return NoThrow(InstanceID, "Client::BUSSetting", false, [&] {
        if (!Connect()) {
            return false;
        }
        _debug("[%d] Enter BUSSetting, <%d, %s --> %s>", InstanceID, static_cast<int>(command),
               key ? key : "", value ? value : "");
        FastJsonEncoder<DString> encoder;
        encoder.Add(key, value);
        const bool result = PDUProxy->PDU->BUSSetting(
            SourceID.c_str(), static_cast<int32_t>(command), encoder.Encode(), InstanceID);
        _debug("[%d] Leave BUSSetting", InstanceID);
        return result;
    });
}

void Client::FireBusError(int code, const char* text) {
    NoThrow(InstanceID, "Client::FireBusError", [&] {
        EventArgs_Error args(code, DString(text));
        BusError.Fire(nullptr, &args);
    });
}

void Client::OnBusPDUError(const void*, EventArgs_Error* e) { BusError.Fire(nullptr, e); }

} // namespace ORVEX::Tessary::Controller
