#include "tessary/external/LogCapture.h"
#include "tests/e2e/BLOBBus.h"
#include "tests/support/RawFrameReceiver.h"
#include "tests/support/SeenErrors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

using namespace blobtest;
using ORVEX::Log::LogCapture;

// One bus server in this process, a receiver "raw" written against the wire format alone (it
// acknowledges every frame), and both BLOB senders pointed at the bus server.
class BLOBSendersE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        server = StartBus(BusOptions(1));
        ASSERT_TRUE(server);
        raw = std::make_unique<RawFrameReceiver>("raw", server->StatusPort(0));
        ASSERT_TRUE(raw->Start());
        blobClient.UseBus(server->CommandPort(), 1);
        blobClient.SetSourceID("tx");
        streamClient.UseBus(server->CommandPort(), 1);
        streamClient.SetSourceID("stx");
        Collect(blobClient.AckError, ackErrors);
        Collect(streamClient.AckError, ackErrors);
    }

    std::string Id(uint32_t instance) const { return "[" + std::to_string(instance) + "]"; }

    std::vector<SeenError> ackErrors;
    std::unique_ptr<busd::BusServer> server;
    std::unique_ptr<RawFrameReceiver> raw;
    BusClient<BLOBClient> blobClient;
    BusClient<BLOBStreamClient> streamClient;
};

TEST_F(BLOBSendersE2ETest, HeadsCarryTheFlagsTheSizeAndTheCallersTimeOutAlsoForPosts) {
    raw->SetReply("fine");
    DString reply;
    EXPECT_TRUE(blobClient.PostBLOB("raw", 7001, Pattern(3000, 1), 4321));
    EXPECT_TRUE(blobClient.PostBLOB("raw", 7002, WString(u"wide"), Pattern(1, 1), 1234));
    EXPECT_TRUE(blobClient.SendBLOB("raw", 7003, DString("ack?"), Pattern(0, 1), reply, 2000));
    EXPECT_EQ(reply, DString("fine"));
    EXPECT_TRUE(streamClient.PostBLOB("raw", 7004, DString("p"), PatternWriter(3000), 5678));
    EXPECT_TRUE(streamClient.SendBLOB("raw", 7005, WString(u"s"), PatternWriter(0), 2000));
    ASSERT_TRUE(raw->WaitForMessages(5));

    struct Expected {
        int32_t command;
        uint32_t flags;
        int32_t timeOut;
        int32_t cbMessage;
        int32_t cbBLOB;
        uint32_t blobBytes;
    };
    const Expected expected[] = {
        {7001, HeadFlag::BLOB, 4321, 0, 3000, 3000},
        {7002, HeadFlag::BLOB | HeadFlag::Wide, 1234, 8, 1, 1},
        {7003, HeadFlag::BLOB | HeadFlag::AckRequested, 2000, 4, 0, 0},
        {7004, HeadFlag::BLOB, 5678, 1, UnknownBLOBSize, 3000},
        {7005, HeadFlag::BLOB | HeadFlag::AckRequested | HeadFlag::Wide, 2000, 2, UnknownBLOBSize,
         0},
    };
    const auto frames = raw->Messages();
    ASSERT_EQ(frames.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        const MessageHead& head = frames[i].Head;
        EXPECT_EQ(head.Command, expected[i].command);
        EXPECT_EQ(head.Flags, expected[i].flags) << head.Command;
        EXPECT_EQ(head.TimeOut, expected[i].timeOut) << head.Command;
        EXPECT_EQ(head.cbMessage, expected[i].cbMessage) << head.Command;
        EXPECT_EQ(head.cbBLOB, expected[i].cbBLOB) << head.Command;
        EXPECT_EQ(frames[i].BLOBBytes, expected[i].blobBytes) << head.Command;
    }
    EXPECT_EQ(frames[1].Body, std::string("w\0i\0d\0e\0", 8));
    EXPECT_EQ(frames[3].Body, "p");
}

TEST_F(BLOBSendersE2ETest, AnOfflineTargetFailsOnceWithoutASecondTryAndDisconnects) {
    LogCapture log;
    auto calls = std::make_shared<std::atomic<int>>(0);
    const uint64_t before = server->Stats().FramesInByType["Message"];
    EXPECT_FALSE(blobClient.SendBLOB("nobody", 7006, Pattern(1000, 1), 5000));
    EXPECT_FALSE(streamClient.SendBLOB("nobody", 7006, PatternWriter(1000, 3, calls), 5000));
    for (uint32_t instance : {blobClient.Instance(), streamClient.Instance()}) {
        EXPECT_TRUE(log.Has(Id(instance) +
                            " Leave SendBLOB, Target <nobody> is offline ? Skip ReadAck"));
    }
    EXPECT_EQ(server->Stats().FramesInByType["Message"], before + 2) << "a BLOB was sent again";
    EXPECT_EQ(calls->load(), 1);
    EXPECT_TRUE(ackErrors.empty());
    // The next operation connects afresh and works.
    EXPECT_TRUE(blobClient.SendBLOB("raw", 7007, Pattern(1000, 1), 5000));
    EXPECT_TRUE(streamClient.SendBLOB("raw", 7007, PatternWriter(1000), 5000));
}

TEST_F(BLOBSendersE2ETest, AnUnreachableBusGivesFalseAndTheWriterIsNeverCalled) {
    const int port = server->CommandPort();
    raw->Stop();
    server->Stop();
    blobClient.UseBus(port, 1);
    streamClient.UseBus(port, 1);
    auto calls = std::make_shared<std::atomic<int>>(0);
    DString reply;
    Block replyBLOB;
    EXPECT_FALSE(blobClient.SendBLOB("raw", 7008, DString("m"), Pattern(10, 1), reply, replyBLOB,
                                     1000));
    EXPECT_FALSE(blobClient.PostBLOB("raw", 7008, Pattern(10, 1), 1000));
    EXPECT_FALSE(streamClient.SendBLOB("raw", 7008, PatternWriter(10, 3, calls), 1000));
    EXPECT_FALSE(streamClient.PostBLOB("raw", 7008, PatternWriter(10, 3, calls), 1000));
    EXPECT_EQ(calls->load(), 0);
    EXPECT_TRUE(ackErrors.empty());
}

TEST_F(BLOBSendersE2ETest, AnEmptyWriterIsRefusedBeforeAnythingIsConnected) {
    LogCapture log;
    const uint64_t accepted = server->Stats().ConnectionsAccepted;
    DString reply;
    Block replyBLOB;
    EXPECT_FALSE(streamClient.SendBLOB("raw", 7009, DString("m"), BLOBStreamClient::Writer(),
                                       reply, replyBLOB, 1000));
    EXPECT_FALSE(streamClient.PostBLOB("raw", 7009, BLOBStreamClient::Writer(), 1000));
    const std::string id = Id(streamClient.Instance());
    EXPECT_TRUE(log.Has(id + " Leave SendBLOB, the BLOB writer is empty, nothing is sent"));
    EXPECT_TRUE(log.Has(id + " Leave PostBLOB, the BLOB writer is empty, nothing is sent"));
    EXPECT_FALSE(log.HasFragment("Connecting to"));
    EXPECT_EQ(server->Stats().ConnectionsAccepted, accepted);
    EXPECT_TRUE(ackErrors.empty());
}

TEST_F(BLOBSendersE2ETest, TheCallersBLOBAndWriterAreLeftAsTheyWere) {
    const Block blob = Pattern(5000, 1);
    auto calls = std::make_shared<std::atomic<int>>(0);
    const BLOBStreamClient::Writer writer = PatternWriter(3000, 3, calls);
    EXPECT_TRUE(blobClient.SendBLOB("raw", 7010, blob, 5000));
    EXPECT_TRUE(blobClient.PostBLOB("raw", 7010, blob, 5000));
    EXPECT_TRUE(streamClient.SendBLOB("raw", 7011, writer, 5000));
    EXPECT_TRUE(streamClient.PostBLOB("raw", 7011, writer, 5000));
    // The block is shared only with the caller again, its bytes untouched; the writer was
    // called once per call, and every copy the library took of it is gone.
    EXPECT_EQ(blob.ShareCount(), 1);
    EXPECT_TRUE(MatchesPattern(blob, 5000, 1));
    EXPECT_EQ(calls->load(), 2);
    EXPECT_EQ(calls.use_count(), 2);
    ASSERT_TRUE(raw->WaitForMessages(4));
    const auto frames = raw->Messages();
    EXPECT_EQ(frames[0].BLOBBytes, 5000u);
    EXPECT_EQ(frames[3].BLOBBytes, 3000u);
}
