#pragma once

#include "tests/support/RawClient.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A receiver written against the wire format alone, independent of the library's readers and
// writers: it registers an id on a bus server's status port through a RawClient, reads what
// the server pushes on a thread of its own, and answers every message with an Ack frame as a
// receiver would. End-to-end tests and benchmarks use it as the far end of a send.
class RawFrameReceiver {
public:
    struct Frame {
        MessageHead Head{0};
        std::string Body;
        uint32_t BLOBBytes = 0;
    };

    RawFrameReceiver(std::string id, int statusPort);
    RawFrameReceiver(const RawFrameReceiver&) = delete;
    RawFrameReceiver& operator=(const RawFrameReceiver&) = delete;
    ~RawFrameReceiver();

    // Connects, registers and starts the reading thread; true once the server confirmed the
    // registration (waits up to about 2 s).
    bool Start();
    void Stop();

    // How the next messages are answered: an Ack with this 8-bit text (none: an empty 16-bit
    // body, as a real receiver answers), or nothing at all when Silent.
    void SetReply(const std::string& text);
    void SetSilent(bool silent);

    // Off: messages are only counted, not kept (long benchmark runs).
    void SetRecording(bool on);
    // Messages seen so far, the server's own on-line announcement left out.
    std::vector<Frame> Messages() const;
    uint64_t MessageCount() const { return m_Count.load(); }
    bool WaitForMessages(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;

private:
    void ReadLoop();
    void Answer(const MessageHead& received);

    std::string m_Id;
    int m_StatusPort;
    rawframes::RawClient m_Client;
    std::thread m_Thread;
    std::atomic<bool> m_Stop{false};
    std::atomic<uint64_t> m_Count{0};

    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    std::vector<Frame> m_Messages;
    std::string m_Reply;
    bool m_Silent = false;
    bool m_Recording = true;
};
