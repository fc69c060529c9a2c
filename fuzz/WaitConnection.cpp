// A receiver's handling of one status connection's bytes: the wait connection reads them from
// a socket that hands out the input in the reads it plans, and answers into nothing, with
// handlers registered that do nothing. It reads until it asks for the connection to be renewed.
#include "fuzz/FuzzInput.h"
#include "tessary/receiver/internal/WaitConnection.h"

#include <sys/socket.h>

#include <cstring>

namespace {

// A connected socket in the eyes of its users (one end of a socket pair, whose other end is
// closed at once) that reads the input and drops what is written.
class MemorySocket : public BUSNetSocket {
public:
    explicit MemorySocket(ChunkedInput& input) : m_Input(input) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
            __builtin_trap();
        }
        AdoptHandle(ends[0]);
        ::close(ends[1]);
    }

    int32_t Receive(char* buffer, uint32_t capacity) override {
        const auto chunk = IsConnected() ? m_Input.Next(capacity) : std::span<const uint8_t>();
        if (chunk.empty()) {
            Close();
            return -1;
        }
        std::memcpy(buffer, chunk.data(), chunk.size());
        return static_cast<int32_t>(chunk.size());
    }

    bool SendBinary(const char*, uint32_t) override { return IsConnected(); }

private:
    ChunkedInput& m_Input;
};

WaitSettings Settings() {
    WaitSettings settings;
    settings.Name = "WaitTask.1<fuzz>@6631";
    settings.ConnectIPAddress = "127.0.0.1";
    settings.StatusPort = 6631;
    settings.SourceID = "fuzz";
    // Small, so that inputs of a few KiB reach the limit's checks from both sides.
    settings.MaxFrameBytes = 2048;
    settings.MessageHandler = [](uint32_t, const void*, EventArgs_BUSMessage*) {};
    settings.BLOBHandler = [](uint32_t, const void*, EventArgs_BUSBLOB*) {};
    settings.HeartbeatHandler = [](const void*, EventArgs_Null*) {};
    settings.Heartbeat1MinuteHandler = settings.HeartbeatHandler;
    settings.Heartbeat5MinuteHandler = settings.HeartbeatHandler;
    settings.OfflineHandler = settings.HeartbeatHandler;
    settings.OnlineHandler = settings.HeartbeatHandler;
    return settings;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ChunkedInput input(data, size);
    WaitConnection connection(Settings());
    connection.Connection().Stream().SocketHolder().Attach(new MemorySocket(input));
    // Each message that keeps the connection has taken a whole head, so the input bounds this.
    while (connection.WaitOneMessage()) {
    }
    return 0;
}
