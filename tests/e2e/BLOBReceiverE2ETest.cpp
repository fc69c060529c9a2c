#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tests/e2e/BLOBReceiverBus.h"
#include "tests/support/RawFault.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

using namespace blobtest;
using ORVEX::Log::LogCapture;

namespace {

std::string UnknownCommandJson(int command) {
    return "{\r\n  \"ErrorComment\" : \"Unknown command <" + std::to_string(command) + " (" +
           Command2String::Lookup(command).str() + ">\"\r\n}";
}

} // namespace

class BLOBReceiverE2ETest : public BLOBBusTest {
protected:
    void SetUp() override {
        BLOBBusTest::SetUp();
        messageClient.UseBus(server->CommandPort(), BusCount);
        messageClient.SetSourceID("mtx");
        Collect(messageClient.AckError, ackErrors);
    }
    BusClient<MessageClient> messageClient;
};

TEST_F(BLOBReceiverE2ETest, MessagesAndBLOBsOfOneCommandReachTheirOwnTable) {
    AnswerMessages(7201);
    AnswerBLOBs(7201, 3);
    StartReceiver();
    DString reply;
    EXPECT_TRUE(messageClient.Send("rx", 7201, DString("text only"), reply, 5000));
    EXPECT_EQ(reply, DString("message"));
    Block replyBLOB;
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7201, DString("with bytes"), Pattern(64, 1), reply,
                                    replyBLOB, 5000));
    EXPECT_EQ(reply, DString("got 64"));
    EXPECT_TRUE(MatchesPattern(replyBLOB, 3, 2));
    EXPECT_TRUE(streamClient.SendBLOB("rx", 7201, [](BUSStream) {}, 5000));

    const auto seen = deliveries.All();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].Table, "Message");
    EXPECT_EQ(seen[0].Message, "text only");
    EXPECT_EQ(seen[1].Table, "BLOB");
    EXPECT_EQ(seen[1].Message, "with bytes");
    EXPECT_EQ(seen[2].Table, "BLOB");
    EXPECT_EQ(seen[2].SourceID, "stx");
}

TEST_F(BLOBReceiverE2ETest, TheHooksTakeWhatTheyAnswerForAndLeaveTheRestToTheTables) {
    receiver.RelayMessageHook = [](TestReceiver&, unsigned long command, EventArgs_BUSMessage* e) {
        if (command != 7202) {
            return false;
        }
        e->ReplyText = "hooked message";
        return true;
    };
    receiver.RelayBLOBHook = [](TestReceiver&, unsigned long command, EventArgs_BUSBLOB* e) {
        if (command != 7202) {
            return false;
        }
        e->ReplyText = "hooked BLOB";
        e->ReplyBLOB = e->BLOB;
        return true;
    };
    AnswerMessages(7202);
    AnswerBLOBs(7202);
    AnswerMessages(7203);
    AnswerBLOBs(7203);
    StartReceiver();
    DString reply;
    Block replyBLOB;
    EXPECT_TRUE(messageClient.Send("rx", 7202, DString("m"), reply, 5000));
    EXPECT_EQ(reply, DString("hooked message"));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7202, DString("b"), Pattern(40000, 1), reply, replyBLOB,
                                    5000));
    EXPECT_EQ(reply, DString("hooked BLOB"));
    EXPECT_TRUE(MatchesPattern(replyBLOB, 40000, 1)) << "the BLOB did not come back as reply";
    EXPECT_EQ(deliveries.Count(), 0u);

    EXPECT_TRUE(messageClient.Send("rx", 7203, DString("m"), reply, 5000));
    EXPECT_EQ(reply, DString("message"));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7203, DString("b"), Pattern(10, 1), reply, 5000));
    EXPECT_EQ(reply, DString("got 10"));
    EXPECT_EQ(deliveries.Count(), 2u);
}

TEST_F(BLOBReceiverE2ETest, UnhandledCommandsGetTheNoResponseErrorWhenASubclassAsksForIt) {
    LogCapture log;
    // Without arguments there is nothing to answer, and nothing may break.
    receiver.MessageNoResponse(nullptr);
    receiver.BLOBNoResponse(nullptr);
    receiver.RelayMessageHook = [](TestReceiver& r, unsigned long, EventArgs_BUSMessage* e) {
        r.MessageNoResponse(e);
        return true;
    };
    receiver.RelayBLOBHook = [](TestReceiver& r, unsigned long command, EventArgs_BUSBLOB* e) {
        if (command == 45) {
            return false;
        }
        r.BLOBNoResponse(e);
        return true;
    };
    // Raising the table's NoResponse event runs the subclass's override.
    receiver.BLOBEvent.Add(45, Handler([this](const void* sender, EventArgs_BUSMessage* e) {
                               receiver.BLOBEvent.NoResponse.Fire(sender, e);
                           }));
    StartReceiver();
    DString reply;
    EXPECT_FALSE(messageClient.Send("rx", 42, DString("m"), reply, 5000));
    EXPECT_FALSE(blobClient.SendBLOB("rx", 43, DString("b"), Pattern(100, 1), reply, 5000));
    EXPECT_FALSE(streamClient.SendBLOB("rx", 44, PatternWriter(100), 5000));
    EXPECT_FALSE(blobClient.SendBLOB("rx", 45, Pattern(1, 1), 5000));
    EXPECT_EQ(receiver.BLOBNoResponseCalls, 4);
    ASSERT_EQ(ackErrors.size(), 4u);
    const int commands[] = {42, 43, 44, 45};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ackErrors[i].Code, 1);
        EXPECT_EQ(ackErrors[i].Command, commands[i]);
        EXPECT_EQ(ackErrors[i].Text, UnknownCommandJson(commands[i]));
    }
    const std::string name = Command2String::Lookup(43).str();
    EXPECT_TRUE(log.HasFragment("] OnMessageNoResponse <mtx> --> <rx> of <42 ("));
    EXPECT_TRUE(log.HasFragment("] OnBLOBNoResponse <tx> --> <rx> of <43 (" + name + ")>"));
}

TEST_F(BLOBReceiverE2ETest, AFaultingHandlerIsReportedAndTheSenderStillGetsItsAnswer) {
    LogCapture log;
    std::atomic<int> after{0};
    receiver.BLOBEvent.Add(7205, Handler([](const void*, EventArgs_BUSMessage* e) {
                               e->ReplyText = "before the fault";
                               DereferenceNull();
                           }));
    receiver.BLOBEvent.Add(7205, Handler([&](const void*, EventArgs_BUSMessage*) { ++after; }));
    receiver.MessageEvent.Add(7205, Handler([](const void*, EventArgs_BUSMessage*) {
                                  DereferenceNull();
                              }));
    AnswerBLOBs(7206);
    StartReceiver();
    DString reply;
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7205, DString(), Pattern(10, 1), reply, 5000));
    EXPECT_EQ(reply, DString("before the fault"));
    EXPECT_EQ(after.load(), 0);
    EXPECT_TRUE(log.Has("Exception catched at BLOBReceiver::OnBLOBRelay"));
    EXPECT_TRUE(messageClient.Send("rx", 7205, DString(), 5000));
    EXPECT_TRUE(log.Has("Exception catched at BLOBReceiver::OnMessageRelay"));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7206, Pattern(10, 1), 5000));
    EXPECT_EQ(deliveries.Count(), 1u);
}
