#pragma once

#include "tools/BusClients.h"

#include "tessary/receiver/BLOBReceiver.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace tool {

// The command codes of the demo's receiver.
namespace DemoCode {
constexpr int Echo = 100;   // answers "pong: " and the text, 8-bit or 16-bit as it came
constexpr int Notice = 101; // keeps the text (the post step looks for it)
constexpr int Refuse = 102; // answers error RefuseCode
constexpr int Digest = 200; // a BLOB: answers its size and a reply BLOB of its checksum
constexpr int RefuseCode = 42;
} // namespace DemoCode

// A 64-bit checksum of bytes, eight at a time: the demo's BLOBs are checked end to end with it.
uint64_t Checksum(const unsigned char* data, size_t length);

// The demo's BLOB receiver: an application's receiver as one would write it, with one handler
// per command code in the message and BLOB tables. What the steps check for is kept under a
// lock, since the handlers run on the wait servers' threads.
class DemoReceiver : public BusReceiver<ORVEX::Tessary::Controller::BLOBReceiver> {
public:
    DemoReceiver(const BusOptions& bus, const std::string& id);
    ~DemoReceiver() override;

    // Waits up to bound for the on-line event of count bus servers; answers how many came.
    int WaitOnline(int count, std::chrono::milliseconds bound);
    // Waits up to bound for a Notice; answers its text, or nothing.
    bool WaitNotice(std::string& text, std::chrono::milliseconds bound);

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::set<int> m_Online;
    bool m_HasNotice = false;
    std::string m_Notice;
};

} // namespace tool
