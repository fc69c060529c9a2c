#pragma once

#include "testkit/RawClient.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A receiver written against the wire format alone: it registers an id on a bus server's status
// port, reads what the server pushes on a thread of its own, and answers every message with an
// Ack frame as a receiver would. End-to-end tests and benchmarks use it as the far end of a send.
class RawFrameReceiver {
public:
    // Unrecorded, messages are only counted (long benchmark runs).
    RawFrameReceiver(std::string id, int statusPort, bool record = true)
        : m_Id(std::move(id)), m_StatusPort(statusPort), m_Record(record) {}
    ~RawFrameReceiver() { Stop(); }

    // Connects, registers and starts the reading thread; true once the server confirmed.
    bool Start();
    void Stop();

    // How the next messages are answered: an Ack with this 8-bit text (empty: an empty 16-bit
    // body, as a real receiver answers).
    void SetReply(std::string text);

    // Messages seen so far, the server's own on-line announcement left out.
    std::vector<PeerFrame> Messages() const;
    uint64_t MessageCount() const { return m_Count.load(); }
    bool WaitForMessages(size_t count, Millis timeout = Bound) const;

private:
    void ReadLoop();

    std::string m_Id;
    int m_StatusPort;
    bool m_Record;
    RawClient m_Client;
    std::thread m_Thread;
    std::atomic<bool> m_Stop{false};
    std::atomic<uint64_t> m_Count{0};
    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    std::vector<PeerFrame> m_Messages;
    std::string m_Reply;
};
