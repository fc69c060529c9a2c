// Two nodes joined through real NATS servers: a receiver registered on node B, senders on
// node A that reach it only through the cluster.
#include "tests/e2e/BLOBBus.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/NatsServers.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <future>
#include <map>

using namespace blobtest;

namespace {

// Registrations cross the cluster within a scan and a refresh; sanitised builds are slow.
constexpr std::chrono::milliseconds ClusterBound{10000};
#ifdef TESSARY_SANITIZED
// Sanitized copies run several times slower; this still fills the credit window three times.
constexpr int CrossBLOB = 24 << 20;
#else
constexpr int CrossBLOB = 64 << 20;
#endif

} // namespace

// The fixture's own bus is left aside: the receiver and the senders move to the nodes.
class FederationE2ETest : public BLOBBusTest {
protected:
    void SetUp() override {
        if (NatsServers::Binary().empty()) {
            GTEST_SKIP() << "nats-server is not installed (scripts/setup installs it)";
        }
        BLOBBusTest::SetUp();
    }
    // The receiver goes before the nodes it is registered on.
    void TearDown() override { receiver.StopWait(); }

    std::unique_ptr<busd::BusServer> StartNode(const char* name, const std::string& url) {
        busd::BusServerOptions options = BusOptions(BusCount);
        options.Cluster.Urls = {url};
        options.Cluster.NodeName = name;
        return StartBus(options);
    }
    // NATS servers, node A on the first and, unless the test runs it as a daemon, node B on the
    // last.
    void StartNodes(int servers, bool withB = true) {
        ASSERT_TRUE(nats.Start(servers));
        nodeA = StartNode("node-a", nats.Url(0));
        nodeB = withB ? StartNode("node-b", nats.Url(servers - 1)) : nullptr;
        ASSERT_TRUE(nodeA && (nodeB || !withB));
    }
    // The receiver "rx" on the node with statusPort, the senders on the node with commandPort.
    void Connect(int statusPort, int commandPort) {
        receiver.UseBus(statusPort, BusCount);
        receiver.StartWait();
        messageClient.UseBus(commandPort, BusCount);
        blobClient.UseBus(commandPort, BusCount);
        streamClient.UseBus(commandPort, BusCount);
        ASSERT_TRUE(Eventually([&] { return messageClient.IsOnline("rx"); }, ClusterBound))
            << "the receiver on the other node never showed on this one";
    }
    void Echo(unsigned long command) {
        receiver.MessageEvent.Add(static_cast<int>(command),
                                  Handler([this](const void*, EventArgs_BUSMessage* e) {
                                      std::lock_guard lock(mutex);
                                      ++echoed[e->Message.str()];
                                      e->ReplyText = "echo " + e->Message.str();
                                  }));
    }
    // How often each text arrived at an echoing entry.
    std::map<std::string, int> Echoed() {
        std::lock_guard lock(mutex);
        return echoed;
    }

    NatsServers nats;
    std::map<std::string, int> echoed;
    std::unique_ptr<busd::BusServer> nodeA;
    std::unique_ptr<busd::BusServer> nodeB;
};

TEST_F(FederationE2ETest, EveryKindOfExchangeCrossesTheCluster) {
    StartNodes(1);
    Echo(1001);
    Echo(3001);
    receiver.MessageEvent.Add(1003, Handler([](const void*, EventArgs_BUSMessage* e) {
                                  e->ResultCode = 42;
                                  e->ReplyText = "refused";
                              }));
    AnswerBLOBs(2001, 3 << 20);
    Connect(nodeB->StatusPort(), nodeA->CommandPort());
    ASSERT_TRUE(receiver.Subscribe(3001, 2000));

    DString reply;
    ASSERT_TRUE(messageClient.Send("rx", 1001, DString("hello"), reply, 5000));
    EXPECT_EQ(reply.str(), "echo hello");
    WString wideReply;
    EXPECT_TRUE(messageClient.Send("rx", 1001, WString(u"wide"), wideReply, 5000));
    EXPECT_FALSE(messageClient.Send("rx", 1003, DString("no"), reply, 5000));
    ASSERT_EQ(ackErrors.size(), 1u);
    EXPECT_EQ(ackErrors[0].Code, 42);
    EXPECT_EQ(ackErrors[0].Text, "refused");

    EXPECT_TRUE(messageClient.Post("rx", 1001, DString("posted")));
    EXPECT_TRUE(messageClient.Forward("rx", 1001, DString("forwarded")));
    // A publish reaches the subscriber once, though it is registered on both bus servers. The
    // subscription takes a scan to reach node A, so publishing repeats until one lands.
    int round = 0;
    ASSERT_TRUE(Eventually(
        [&] {
            EXPECT_TRUE(messageClient.Post("", 3001, DString(std::to_string(++round).c_str())));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return Echoed()["1"] + Echoed()[std::to_string(round)] > 0;
        },
        ClusterBound));
    EXPECT_TRUE(Eventually([&] { return Echoed()["posted"] + Echoed()["forwarded"] == 2; }));
    for (const auto& [text, count] : Echoed()) {
        EXPECT_LE(count, 1) << "echoed " << text;
    }

    EXPECT_FALSE(messageClient.IsOnline("nobody"));
    EXPECT_NE(messageClient.SetUniqueSourceID("rx").str(), "rx");

    Block replyBLOB;
    ASSERT_TRUE(blobClient.SendBLOB("rx", 2001, DString("blob"), Pattern(CrossBLOB, 3), reply,
                                    replyBLOB, 30000));
    EXPECT_EQ(reply.str(), "got " + std::to_string(CrossBLOB));
    EXPECT_EQ(PatternMismatch(replyBLOB, 2), size_t{3} << 20);
    ASSERT_TRUE(streamClient.SendBLOB("rx", 2001, DString("stream"), PatternWriter(5 << 20),
                                      reply, 30000));
    EXPECT_EQ(reply.str(), "got " + std::to_string(5 << 20));
    const auto blobs = Deliveries();
    ASSERT_EQ(blobs.size(), 2u);
    EXPECT_TRUE(MatchesPattern(blobs[0].BLOB, CrossBLOB, 3));
    EXPECT_TRUE(MatchesPattern(blobs[1].BLOB, 5 << 20, 3));
    const busd::BusStats stats = nodeA->Stats();
    EXPECT_GT(stats.RemoteMessagesOut, 0u);
    EXPECT_GT(stats.RemoteBytesIn, size_t{3} << 20);
}

// Node B is a daemon of its own, killed while a sender on node A waits for its receiver.
TEST_F(FederationE2ETest, ANodeThatDiesFailsTheSendersWaitingOnIt) {
    StartNodes(1, false);
    ChildProcess daemon({TESSARY_BUSD_PATH, "--command-port", "0", "--status-port", "0",
                         "--servers", std::to_string(BusCount), "--cluster", nats.Url(0),
                         "--node", "node-b", "--log-level", "warning"});
    int commandPort = 0;
    int statusPort = 0;
    ASSERT_TRUE(ReadDaemonPorts(daemon, commandPort, statusPort));
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    // The handler keeps its own copy of the future: it may still be waiting when the test ends.
    receiver.MessageEvent.Add(1002, Handler([&entered, released](const void*, EventArgs_BUSMessage*) {
                                  entered.set_value();
                                  released.wait();
                              }));
    Connect(statusPort, nodeA->CommandPort());

    auto sent = std::async(std::launch::async,
                           [&] { return messageClient.Send("rx", 1002, DString("wait"), 60000); });
    ASSERT_EQ(entered.get_future().wait_for(ClusterBound), std::future_status::ready);
    daemon.Signal(SIGKILL);
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_EQ(sent.wait_for(ClusterBound), std::future_status::ready)
        << "the sender still waits on a node that died";
    EXPECT_FALSE(sent.get());
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(8));
    EXPECT_GE(nodeA->Stats().RemoteExpiries, 1u);
    EXPECT_TRUE(Eventually([&] { return !messageClient.IsOnline("rx"); }));
    release.set_value();
}

// The nodes on two clustered NATS servers; the one node A uses stops, and A carries on through
// the other.
TEST_F(FederationE2ETest, ANodeMovesToAnotherServerOfTheCluster) {
    StartNodes(2);
    Echo(1001);
    Connect(nodeB->StatusPort(), nodeA->CommandPort());
    DString reply;
    ASSERT_TRUE(messageClient.Send("rx", 1001, DString("before"), reply, 5000));

    nats.Stop(0);
    auto after = [&] { return messageClient.Send("rx", 1001, DString("after"), reply, 2000); };
    EXPECT_TRUE(Eventually(after, ClusterBound))
        << "node A did not carry on through the other NATS server";
    EXPECT_EQ(reply.str(), "echo after");
    // The NATS client reports the reconnect on a thread of its own, possibly after traffic
    // already flows again.
    EXPECT_TRUE(Eventually([&] { return nodeA->Stats().ClusterReconnects >= 1; }));
}
