#pragma once

#include "tessary/Export.h"
#include "tessary/external/DString.h"
#include "tessary/external/EventArgs.h"
#include "tessary/foundation/UnsafeDelegate.h"

#include <cstdint>

class BUSNetPDUProxy;

namespace ORVEX::Tessary::Controller {

// A sender identity talking to the bus servers through one command session. It connects
// lazily: every operation that needs the bus connects first and keeps the connection between
// operations. One object serves one thread at a time and takes no lock. No operation throws:
// failures are false results, log lines and BusError events.
class TESSARY_EXPORT Client {
public:
    Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    virtual ~Client();

    // True when connected; connects to one of the bus servers' command ports when not.
    virtual bool Connect();
    // Closes the connection; the session stays and the next operation connects again.
    virtual void Disconnect();
    // Replaces the session by a fresh, unconnected one; every setting stays.
    virtual void Close();

    // Used by the next connection that Connect makes, not by an open one.
    void ConnectTo(const char* ip);
    DString GetConnectIPAddress() const;
    void SetSourceID(const char* id);
    DString GetSourceID() const;
    // Asks the bus server for a unique id derived from id; answers the id now in force (id
    // itself when the bus server cannot be reached).
    DString SetUniqueSourceID(const char* id);
    // Takes effect at the next connection; answers the previous value.
    bool SetTcpNoDelay(bool on);
    // The socket's set-option result; 0 also when the client cannot connect.
    int SetSocketOption(int level, int option, const char* value, int length);
    bool IsOnline(const char* targetID);
    // Posts one key/value setting to the bus server as a one-pair JSON object.
    bool BUSSetting(unsigned long command, const char* key, const char* value);

    // Library-wide set-up, shared by every sender and receiver of the process.
    static void Prepare();
    static void Quit();
    static int SetDefTimeOut(int msTimeOut);
    static int GetDefCommandPort();
    static int GetDefStatusPort();
    static void SetLogFileName(const char* name);
    static DString Command2String(int command);

    static bool bInited;
    static int gDefMSTimeOut;

protected:
    void FireBusError(int code, const char* text);
    // Relays every error of the session to BusError with a null sender.
    void OnBusPDUError(const void* sender, EventArgs_Error* e);

    DString ConnectIPAddress;
    // Base command port; bus server k listens on CommandPort + 2k.
    int32_t CommandPort;
    int32_t NbOfBUSServer;
    DString SourceID;
    bool TcpNoDelay = false;
    BUSNetPDUProxy* PDUProxy = nullptr;
    uint32_t InstanceID;

public:
    // Raised for socket errors and failed replies of the session, on the calling thread.
    _tUnsafeDelegate<EventArgs_Error> BusError;

private:
    void CreateSession();
    void DestroySession();
};

} // namespace ORVEX::Tessary::Controller
