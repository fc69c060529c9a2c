#include "tessary/external/internal/LogCapture.h"
#include "tests/e2e/BLOBBus.h"
#include "testkit/RawFrameReceiver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

using namespace blobtest;
using ORVEX::Log::LogCapture;

// A receiver "raw" written against the wire format alone (it acknowledges every frame) on the
// first bus server, and the three senders pointed at that one alone.
class SendersE2ETest : public BLOBBusTest {
protected:
    void SetUp() override {
        BLOBBusTest::SetUp();
        raw = std::make_unique<RawFrameReceiver>("raw", server->StatusPort(0));
        ASSERT_TRUE(raw->Start());
        blobClient.UseBus(server->CommandPort(), 1);
        streamClient.UseBus(server->CommandPort(), 1);
        messageClient.UseBus(server->CommandPort(), 1);
    }

    std::unique_ptr<RawFrameReceiver> raw;
};

// What arrives at the receiver is the sender's head and body as they left it.
TEST_F(SendersE2ETest, HeadsCarryTheFlagsTheSizeAndTheCallersTimeOutAlsoForPosts) {
    raw->SetReply("fine");
    DString reply;
    const WString wide(u"a\u00e9\u4e2d");
    EXPECT_TRUE(messageClient.Post("raw", 7001, DString("abc")));
    EXPECT_TRUE(messageClient.Post("raw", 7002, wide));
    EXPECT_TRUE(messageClient.Forward("raw", 7003, DString("abc")));
    EXPECT_TRUE(messageClient.Forward("raw", 7004, wide));
    EXPECT_TRUE(messageClient.Send("raw", 7005, DString("abc"), reply, 4000));
    EXPECT_TRUE(messageClient.Send("raw", 7006, wide, 2500));
    const Block blob = Pattern(3000, 1);
    auto calls = std::make_shared<std::atomic<int>>(0);
    EXPECT_TRUE(blobClient.PostBLOB("raw", 7011, blob, 4321));
    EXPECT_TRUE(blobClient.PostBLOB("raw", 7012, WString(u"wide"), Pattern(1, 1), 1234));
    EXPECT_TRUE(blobClient.SendBLOB("raw", 7013, DString("ack?"), Pattern(0, 1), reply, 2000));
    EXPECT_EQ(reply, DString("fine"));
    EXPECT_TRUE(streamClient.PostBLOB("raw", 7014, DString("p"), PatternWriter(3000, 3, calls),
                                      5678));
    EXPECT_TRUE(streamClient.SendBLOB("raw", 7015, WString(u"s"), PatternWriter(0), 2000));
    ASSERT_TRUE(raw->WaitForMessages(11));
    // The caller's block is shared with nobody else again, its bytes untouched; the writer was
    // called once, and every copy the library took of it is gone.
    EXPECT_EQ(blob.ShareCount(), 1);
    EXPECT_TRUE(MatchesPattern(blob, 3000, 1));
    EXPECT_EQ(calls->load(), 1);
    EXPECT_EQ(calls.use_count(), 1);

    namespace F = HeadFlag;
    struct Expected {
        int32_t command;
        uint32_t caller;
        uint32_t flags;
        int32_t timeOut;
        int32_t cbMessage;
        int32_t cbBLOB;
        uint32_t blobBytes;
    };
    const uint32_t m = messageClient.Instance();
    const uint32_t b = blobClient.Instance();
    const uint32_t s = streamClient.Instance();
    const Expected expected[] = {
        {7001, m, 0, 0, 3, 0, 0},
        {7002, m, F::Wide, 0, 6, 0, 0},
        {7003, m, F::Forward, 0, 3, 0, 0},
        {7004, m, F::Forward | F::Wide, 0, 6, 0, 0},
        {7005, m, F::AckRequested, 4000, 3, 0, 0},
        {7006, m, F::AckRequested | F::Wide, 2500, 6, 0, 0},
        {7011, b, F::BLOB, 4321, 0, 3000, 3000},
        {7012, b, F::BLOB | F::Wide, 1234, 8, 1, 1},
        {7013, b, F::BLOB | F::AckRequested, 2000, 4, 0, 0},
        {7014, s, F::BLOB, 5678, 1, UnknownBLOBSize, 3000},
        {7015, s, F::BLOB | F::AckRequested | F::Wide, 2000, 2, UnknownBLOBSize, 0},
    };
    const auto frames = raw->Messages();
    ASSERT_EQ(frames.size(), 11u);
    for (size_t i = 0; i < 11; ++i) {
        const MessageHead& head = frames[i].Head;
        SCOPED_TRACE(head.Command);
        EXPECT_EQ(head.Type, HeadType::Message);
        EXPECT_EQ(head.Command, expected[i].command);
        EXPECT_EQ(head.CallerID, expected[i].caller);
        EXPECT_EQ(head.Flags, expected[i].flags);
        EXPECT_EQ(head.TimeOut, expected[i].timeOut);
        EXPECT_EQ(head.cbMessage, expected[i].cbMessage);
        EXPECT_EQ(head.cbBLOB, expected[i].cbBLOB);
        EXPECT_EQ(frames[i].Blob.size(), expected[i].blobBytes);
        EXPECT_EQ(IdFieldText(head.TargetID), "raw");
        if (i < 6) {
            EXPECT_EQ(IdFieldText(head.SourceID), "mtx");
            EXPECT_EQ(frames[i].BodyText(), head.HasFlag(F::Wide)
                                                ? std::string("a\0\xe9\0\x2d\x4e", 6)
                                                : std::string("abc"));
        }
    }
    EXPECT_EQ(frames[7].BodyText(), std::string("w\0i\0d\0e\0", 8));
    EXPECT_EQ(frames[9].BodyText(), "p");
    EXPECT_TRUE(busErrors.empty());
    EXPECT_TRUE(ackErrors.empty());
}

TEST_F(SendersE2ETest, AnOfflineTargetFailsOnceWithoutASecondTryAndDisconnects) {
    LogCapture log;
    auto calls = std::make_shared<std::atomic<int>>(0);
    const uint64_t before = server->Stats().FramesInByType["Message"];
    EXPECT_FALSE(blobClient.SendBLOB("nobody", 7006, Pattern(1000, 1), 5000));
    EXPECT_FALSE(streamClient.SendBLOB("nobody", 7006, PatternWriter(1000, 3, calls), 5000));
    const std::string offline = "Leave SendBLOB, Target <nobody> is offline ? Skip ReadAck";
    EXPECT_TRUE(log.Has(blobClient.Tag() + offline));
    EXPECT_TRUE(log.Has(streamClient.Tag() + offline));
    EXPECT_EQ(server->Stats().FramesInByType["Message"], before + 2) << "a BLOB was sent again";
    EXPECT_EQ(calls->load(), 1);
    EXPECT_TRUE(ackErrors.empty());
    // The next operation connects afresh and works.
    EXPECT_TRUE(blobClient.SendBLOB("raw", 7007, Pattern(1000, 1), 5000));
    EXPECT_TRUE(streamClient.SendBLOB("raw", 7007, PatternWriter(1000), 5000));
}

// An empty writer is refused before anything is connected; a writer is not called while the
// bus cannot be reached (the refused connects themselves are the command port case's).
TEST_F(SendersE2ETest, NoWriterOrNoBusGivesFalseAndTheWriterIsNeverCalled) {
    LogCapture log;
    const uint64_t accepted = server->Stats().ConnectionsAccepted;
    DString reply;
    Block replyBLOB;
    EXPECT_FALSE(streamClient.SendBLOB("raw", 7009, DString("m"), BLOBStreamClient::Writer(),
                                       reply, replyBLOB, 1000));
    EXPECT_FALSE(streamClient.PostBLOB("raw", 7009, BLOBStreamClient::Writer(), 1000));
    const std::string id = streamClient.Tag();
    EXPECT_TRUE(log.Has(id + "Leave SendBLOB, the BLOB writer is empty, nothing is sent"));
    EXPECT_TRUE(log.Has(id + "Leave PostBLOB, the BLOB writer is empty, nothing is sent"));
    EXPECT_FALSE(log.HasFragment("Connecting to"));
    EXPECT_EQ(server->Stats().ConnectionsAccepted, accepted);

    raw->Stop();
    server->Stop();
    auto calls = std::make_shared<std::atomic<int>>(0);
    EXPECT_FALSE(streamClient.SendBLOB("raw", 7008, PatternWriter(10, 3, calls), 1000));
    EXPECT_FALSE(streamClient.PostBLOB("raw", 7008, PatternWriter(10, 3, calls), 1000));
    EXPECT_EQ(calls->load(), 0);
    EXPECT_TRUE(ackErrors.empty());
}
