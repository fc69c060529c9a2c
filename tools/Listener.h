#pragma once

#include "tools/BusClients.h"

#include "tessary/receiver/BLOBReceiver.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

namespace tool {

// How a listener answers what it receives.
struct ListenAnswer {
    // The reply text; empty: "received" for a message, "received N bytes" for a BLOB.
    std::string Reply;
    // Not 0: every message and BLOB is refused with this error code (and the reply text, or
    // "refused by tessary listen").
    int ErrorCode = 0;
    // Each BLOB goes back as its own reply BLOB.
    bool EchoBLOB = false;
    // Not empty: each BLOB is saved to a new file in this directory.
    std::string SaveDir;
    // Each text is printed whole rather than as a preview of its first characters.
    bool FullText = false;
};

// A BLOB receiver that writes one line to out for everything that reaches it: messages and
// BLOBs (through the relay hooks, so every command code is seen, subscribed or addressed),
// heartbeats and bus servers going on-line and off-line. Lines come from the wait servers'
// threads; each is written whole and flushed at once, so a process reading a pipe sees it
// as it happens.
class Listener : public BusReceiver<ORVEX::Tessary::Controller::BLOBReceiver> {
public:
    Listener(const BusOptions& bus, const std::string& id, ListenAnswer answer, std::FILE* out);
    // Stopped here already, so that no wait server is inside the hooks while this goes.
    ~Listener() override;

    // Messages and BLOBs handed over so far (the bus servers' on-line reports are not).
    int64_t Received() const { return m_Received.load(); }
    // Bus servers whose on-line report has come and whose connection has not been lost since.
    int OnlineServers() const;

    void Print(const std::string& line);

protected:
    bool RelayMessage(unsigned long command, const void* sender, EventArgs_BUSMessage* e) override;
    bool RelayBLOB(unsigned long command, const void* sender, EventArgs_BUSBLOB* e) override;

private:
    void Answer(EventArgs_BUSMessage& e, const std::string& defaultReply) const;
    void ServerEvent(int statusPort, bool online);

    const ListenAnswer m_Answer;
    std::FILE* const m_Out;
    mutable std::mutex m_Mutex;
    // Per status port: true on-line, false off-line (reported once until it comes back).
    std::map<int, bool> m_Servers;
    std::atomic<int64_t> m_Received{0};
};

} // namespace tool
