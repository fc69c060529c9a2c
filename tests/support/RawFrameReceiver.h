#pragma once

#include "tessary/protocol/MessageHead.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A receiver written against the wire format alone, independent of the library's readers and
// writers: it registers an id with a Listen head on a bus server's status port, reads what the
// server pushes with plain POSIX calls, and answers every message with an Ack (or an Error)
// frame as a receiver would. End-to-end tests and benchmarks use it as the far end of a send.
class RawFrameReceiver {
public:
    struct Frame {
        MessageHead Head{0};
        std::string Body;
        uint32_t BLOBBytes = 0;
    };

    RawFrameReceiver(std::string id, int statusPort, std::string host = "127.0.0.1");
    RawFrameReceiver(const RawFrameReceiver&) = delete;
    RawFrameReceiver& operator=(const RawFrameReceiver&) = delete;
    ~RawFrameReceiver();

    // Connects, registers and starts the reading thread; true once the server confirmed the
    // registration with its SYNC frame (waits up to about 2 s).
    bool Start();
    void Stop();

    // How the next messages are answered: an Ack with this 8-bit text (none: an empty 16-bit
    // body, as a real receiver answers), or nothing at all when Silent.
    void SetReply(const std::string& text);
    void SetSilent(bool silent);

    // Off: messages are only counted, not kept (long benchmark runs).
    void SetRecording(bool on);
    // Messages seen so far, the server's own command-1 announcement left out.
    std::vector<Frame> Messages() const;
    uint64_t MessageCount() const { return m_Count.load(); }
    bool WaitForMessages(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const;
    bool IsConnected() const { return m_Connected.load(); }

private:
    void ReadLoop();
    // Reads exactly n bytes unless the peer closes or Stop is called. Reads go through a
    // buffer of our own, a receive time-out of 100 ms lets the stop flag be seen.
    bool ReadExact(void* destination, size_t n);
    bool FillBuffer();
    bool SkipBytes(uint64_t n);
    bool ReadBLOB(int32_t cbBLOB, uint32_t& total);
    bool WriteAll(const void* data, size_t n);
    void Answer(const MessageHead& received);

    std::string m_Id;
    std::string m_Host;
    int m_StatusPort;
    int m_Fd = -1;
    std::thread m_Thread;
    std::atomic<bool> m_Stop{false};
    std::atomic<bool> m_Connected{false};
    std::atomic<uint64_t> m_Count{0};
    std::vector<unsigned char> m_In = std::vector<unsigned char>(256 * 1024);
    size_t m_InBegin = 0;
    size_t m_InEnd = 0;

    mutable std::mutex m_Mutex;
    mutable std::condition_variable m_Changed;
    bool m_Synced = false;
    std::vector<Frame> m_Messages;
    std::string m_Reply;
    bool m_Silent = false;
    bool m_Recording = true;
};
