#pragma once

#include "tessary/external/DString.h"
#include "tessary/external/EventArgs.h"
#include "tessary/foundation/BoolServer.h"
#include "tessary/receiver/internal/WaitCallbacks.h"
#include "tessary/receiver/internal/WaitMessageServer.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace ORVEX::Tessary::Controller {

// The part of a receiver that owns its wait servers, one per bus server: it configures them,
// starts and stops them together, fans the receiver's requests out to all of them, and turns a
// wait server's on-line and off-line reports into server events carrying that server's status
// port. It runs no thread of its own.
//
// Every wait server registers the same source id with its own bus server and answers what
// arrives on its own connection; nothing is merged across bus servers.
class WaitMessageTask : public BoolServer {
public:
    // Named "WaitTask." + name, with count wait servers (none when count is below 1).
    WaitMessageTask(const char* name, int count);
    ~WaitMessageTask() override;

    // Copies the five frame callables into every wait server, routes their off-line and
    // on-line reports here, and starts them. Always true.
    bool Start(uint32_t priorityLevel) override;
    // The task's own stop, then every wait server's, in order.
    bool Stop() override;
    // The task's own will-stop step, then every wait server's.
    bool WillStop() override;

    // Wait server i gets address, port + 2 i and the name "<task name>@<its port>".
    void ConnectTo(const DString& address, int port);
    void SetSourceID(const DString& id);
    void SetTimeOut(int seconds);
    void SetTcpNoDelay(bool on);
    void SetMaxFrameBytes(int32_t bytes);
    // These ask every wait server in turn; their single results are not collected.
    bool Subscribe(uint32_t command, int timeOut);
    bool BUSSetting(uint32_t command, const char* key, const char* value);
    int SetSocketOption(int level, int option, const char* value, int length);

    // Called on the reporting wait server's thread with that server as sender.
    void FireServerOnline(const void* sender, EventArgs_Null* args);
    void FireServerOffline(const void* sender, EventArgs_Null* args);

    const std::vector<std::unique_ptr<WaitMessageServer>>& Servers() const { return m_Servers; }

private:
    std::vector<std::unique_ptr<WaitMessageServer>> m_Servers;

public:
    // Filled by the receiver before Start.
    WaitMessageCallback MessageHandler;
    WaitBLOBCallback BLOBHandler;
    WaitNullCallback HeartbeatHandler;
    WaitNullCallback Heartbeat1MinuteHandler;
    WaitNullCallback Heartbeat5MinuteHandler;
    WaitIntCallback ServerOfflineHandler;
    WaitIntCallback ServerOnlineHandler;
    // Wired by the receiver; nothing raises them.
    WaitIntCallback ServerGlitchHandler;
    WaitIntCallback ServerRecoveredHandler;
};

} // namespace ORVEX::Tessary::Controller
