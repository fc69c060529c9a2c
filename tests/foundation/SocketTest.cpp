#include "tessary/external/internal/LogCapture.h"
#include "tessary/foundation/internal/Socket.h"
#include "testkit/Eventually.h"
#include "testkit/RawClient.h"
#include "tests/support/LoopbackPeer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using ORVEX::Log::LogCapture;
using namespace std::chrono_literals;

namespace {

class RecordingSocket : public Socket {
public:
    void OnError(int32_t code) override { Errors.push_back(code); }
    std::vector<int32_t> Errors;
};

// Waits until the kernel reports the connection hung up or in error, without reading from it.
bool WaitForHangUp(SocketHandle handle) {
    pollfd entry{handle, 0, 0};
    return ::poll(&entry, 1, 2000) == 1 && (entry.revents & (POLLHUP | POLLERR)) != 0;
}

class SocketTest : public ::testing::Test {
protected:
    void Connect() {
        ASSERT_TRUE(socket.Open(LoopbackPeer::Host, peer.Port()));
        ASSERT_TRUE(peer.WaitForConnections(1)) << "the peer never saw the connection";
    }

    LoopbackPeer peer;
    RecordingSocket socket;
};

} // namespace

// Opening again drops the old connection. A receive time-out of zero polls; the peer closing
// gives -1 and leaves the socket closed.
TEST_F(SocketTest, ExchangesBytesWithThePeerUntilItCloses) {
    Connect();
    ASSERT_TRUE(socket.Open(LoopbackPeer::Host, peer.Port()));
    ASSERT_TRUE(peer.WaitForConnections(2));
    EXPECT_TRUE(peer.WaitForClientClose(0));
    ASSERT_TRUE(socket.SendBinary("hello", 5));
    ASSERT_TRUE(peer.WaitForBytes(5, 1));
    EXPECT_EQ(peer.Received(1), ToBytes("hello"));

    socket.SetReceiveTimeOut(0);
    char buffer[16];
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0);
    EXPECT_TRUE(socket.IsConnected());
    peer.Send(ToBytes("abc"), 1);
    // The bytes are on their way through loopback; a poll may still come back empty once.
    int32_t count = 0;
    EXPECT_TRUE(Eventually([&] { return (count = socket.Receive(buffer, sizeof buffer)) != 0; }));
    ASSERT_EQ(count, 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");

    peer.Close(1);
    EXPECT_TRUE(Eventually([&] { return socket.Receive(buffer, sizeof buffer) == -1; }));
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.Handle(), NoSocket);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
}

TEST_F(SocketTest, ReceiveTimeOutRunningOutClosesSilently) {
    Connect();
    socket.SetReceiveTimeOut(1);
    LogCapture capture;
    char buffer[16];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 5s);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_TRUE(socket.Errors.empty());
}

TEST_F(SocketTest, TeardownFromAnotherThreadWakesABlockedReceive) {
    Connect();
    ASSERT_EQ(socket.ReceiveTimeOut(), Socket::DefaultReceiveTimeOut);
    std::atomic<bool> entering{false};
    std::atomic<int32_t> result{1};
    std::thread reader([&] {
        char buffer[16];
        entering = true;
        result = socket.Receive(buffer, sizeof buffer);
    });
    while (!entering) {
        std::this_thread::yield();
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(socket.Teardown());
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s)
        << "a read blocked on a torn-down socket waited for its 300 s time-out";
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.Handle(), NoSocket);
    EXPECT_TRUE(peer.WaitForClientClose());
}

TEST_F(SocketTest, TornDownDescriptorIsReleasedByTheOwnersNextClose) {
    Connect();
    const SocketHandle handle = socket.Handle();
    socket.Teardown();
    EXPECT_TRUE(peer.WaitForClientClose());
    // Still open: a read on the owning thread may be using it.
    EXPECT_NE(::fcntl(handle, F_GETFD), -1);
    socket.Close();
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1);
}

struct SendFailureCase {
    const char* Name;
    // Breaks the connection of a socket connected to peer, so that the next send fails.
    std::function<void(LoopbackPeer&, Socket&)> Break;
    int Code;
    const char* Text; // the code's English and Chinese texts
    bool Closes;
};

// Test listings name a case rather than dump its bytes.
void PrintTo(const SendFailureCase& c, std::ostream* out) { *out << c.Name; }

class SocketSendFailureTest : public SocketTest,
                              public ::testing::WithParamInterface<SendFailureCase> {};

TEST_P(SocketSendFailureTest, LogsAndClosesOnlyForAConnectionThatIsGone) {
    Connect();
    GetParam().Break(peer, socket);
    LogCapture capture;
    EXPECT_FALSE(socket.SendBinary("payload", 7));
    const std::string line = "Invoke Socket::SendBinary failed, close it now, error : " +
                             std::to_string(GetParam().Code) + " -- " + GetParam().Text;
    EXPECT_TRUE(capture.Has(line)) << line;
    EXPECT_EQ(socket.Errors, std::vector<int32_t>{GetParam().Code});
    EXPECT_EQ(socket.IsConnected(), !GetParam().Closes);
    EXPECT_EQ(socket.Handle() != NoSocket, !GetParam().Closes);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SocketSendFailureTest,
    ::testing::Values(
        SendFailureCase{"ResetByPeer",
                        [](LoopbackPeer& peer, Socket& socket) {
                            peer.Reset();
                            ASSERT_TRUE(WaitForHangUp(socket.Handle())) << "no reset arrived";
                        },
                        10054, "Connection Reset (通过远端重新设置连接)", true},
        SendFailureCase{"ShutDownLocally",
                        [](LoopbackPeer&, Socket& socket) {
                            ASSERT_EQ(::shutdown(socket.Handle(), SHUT_WR), 0);
                        },
                        10058, "Socked Shutdown (已关闭套接字)", true},
        // A stream socket that never connected answers a send with ENOTCONN; it replaces the
        // connected descriptor under the same number.
        SendFailureCase{"NotConnected",
                        [](LoopbackPeer&, Socket& socket) {
                            const int unconnected = ::socket(AF_UNIX, SOCK_STREAM, 0);
                            ASSERT_GE(unconnected, 0);
                            ASSERT_EQ(::dup2(unconnected, socket.Handle()), socket.Handle());
                            ::close(unconnected);
                        },
                        10057, "Not Connected (未接连套接字)", false}),
    [](const ::testing::TestParamInfo<SendFailureCase>& caseInfo) { return caseInfo.param.Name; });

// The refused connect's lines are the command port's case; a name is no address (no lookup is
// made), and what a socket that never connected is asked to do does nothing and says nothing.
TEST_F(SocketTest, ASocketThatNeverConnectedDoesNothing) {
    LogCapture capture;
    EXPECT_FALSE(socket.Open("bus.example", 6630));
    EXPECT_TRUE(capture.Has("Cannot make TCP/IP connection, IP = bus.example, Port = 6630"));
    EXPECT_EQ(socket.Errors.size(), 1u);
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.Handle(), NoSocket);
    capture.Clear();
    char buffer[4];
    EXPECT_FALSE(socket.SendBinary("x", 1));
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), -1);
    EXPECT_EQ(socket.SetTcpNoDelay(true), 0);
    EXPECT_EQ(socket.SetOption(SOL_SOCKET, SO_KEEPALIVE, "\1\0\0\0", 4), 0);
    EXPECT_TRUE(socket.Close());
    EXPECT_TRUE(socket.Teardown());
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(socket.Errors.size(), 1u);
}

TEST(SocketSelfConnectTest, AConnectionThatMetItselfIsRecognised) {
    // A socket bound to a port and connected to that same port meets itself, as a connect to
    // a free ephemeral port now and then does; Open refuses such a connection.
    const int handle = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(handle, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::connect(handle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(Socket::ConnectedToItself(handle));
    ::close(handle);
}

// That no-delay takes effect on the connection is the client's case.
TEST_F(SocketTest, SetOptionLogsItsResultAndReportsFailures) {
    Connect();
    LogCapture capture;
    EXPECT_EQ(socket.SetTcpNoDelay(true), 0);
    EXPECT_TRUE(capture.Has("Leave Socket::SetOption <6, 1  --> 1>"));

    capture.Clear();
    const int32_t value = -3;
    EXPECT_EQ(socket.SetOption(SOL_SOCKET, 12345, reinterpret_cast<const char*>(&value), 4), -1);
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{
                  "failed to set option timeout: 10042 -- Socket error : 10042 (Socket error 10042)",
                  "Leave Socket::SetOption <1, 12345  --> -3>"}));
    EXPECT_EQ(socket.Errors, std::vector<int32_t>{10042});
    EXPECT_TRUE(socket.IsConnected());
}
