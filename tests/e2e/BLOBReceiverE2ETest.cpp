#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tests/e2e/BLOBBus.h"
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

using BLOBReceiverE2ETest = BLOBBusTest;

// Each message and BLOB goes to the hook first, then to its own table; what nobody takes gets
// the no-response error, through an override when a subclass asks for it; a faulting table
// entry is reported and the sender still gets the answer written before the fault.
TEST_F(BLOBReceiverE2ETest, TheHooksTheTablesAndTheNoResponseAnswerShareTheWork) {
    LogCapture log;
    // Without arguments there is nothing to answer, and nothing may break.
    receiver.MessageNoResponse(nullptr);
    receiver.BLOBNoResponse(nullptr);
    receiver.RelayMessageHook = [](TestReceiver& r, unsigned long command, EventArgs_BUSMessage* e) {
        if (command == 42) {
            r.MessageNoResponse(e);
        } else if (command == 7202) {
            e->ReplyText = "hooked message";
        }
        return command == 42 || command == 7202;
    };
    receiver.RelayBLOBHook = [](TestReceiver& r, unsigned long command, EventArgs_BUSBLOB* e) {
        if (command == 43 || command == 44) {
            r.BLOBNoResponse(e);
        } else if (command == 7202) {
            e->ReplyText = "hooked BLOB";
            e->ReplyBLOB = e->BLOB;
        }
        return command == 43 || command == 44 || command == 7202;
    };
    AnswerMessages(7203);
    AnswerBLOBs(7203);
    // Raising the table's NoResponse event runs the subclass's override.
    receiver.BLOBEvent.Add(45, Handler([this](const void* sender, EventArgs_BUSMessage* e) {
                               receiver.BLOBEvent.NoResponse.Fire(sender, e);
                           }));
    std::atomic<int> after{0};
    receiver.BLOBEvent.Add(7205, Handler([](const void*, EventArgs_BUSMessage* e) {
                               e->ReplyText = "before the fault";
                               DereferenceNull();
                           }));
    receiver.BLOBEvent.Add(7205, Handler([&](const void*, EventArgs_BUSMessage*) { ++after; }));
    receiver.MessageEvent.Add(7205, Handler([](const void*, EventArgs_BUSMessage*) {
                                  DereferenceNull();
                              }));
    StartReceiver();
    DString reply;
    Block replyBLOB;
    EXPECT_TRUE(messageClient.Send("rx", 7202, DString("m"), reply, 5000));
    EXPECT_EQ(reply, DString("hooked message"));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7202, DString("b"), Pattern(40000, 1), reply, replyBLOB,
                                    5000));
    EXPECT_EQ(reply, DString("hooked BLOB"));
    EXPECT_TRUE(MatchesPattern(replyBLOB, 40000, 1)) << "the BLOB did not come back as reply";
    EXPECT_EQ(Deliveries().size(), 0u);
    EXPECT_TRUE(messageClient.Send("rx", 7203, DString("m"), reply, 5000));
    EXPECT_EQ(reply, DString("message"));
    EXPECT_TRUE(streamClient.SendBLOB("rx", 7203, DString("b"), [](BUSStream) {}, reply, 5000));
    EXPECT_EQ(reply, DString("got 0"));
    EXPECT_EQ(Deliveries().size(), 2u);

    EXPECT_TRUE(blobClient.SendBLOB("rx", 7205, DString(), Pattern(10, 1), reply, 5000));
    EXPECT_EQ(reply, DString("before the fault"));
    EXPECT_EQ(after.load(), 0);
    EXPECT_TRUE(log.Has("Exception catched at BLOBReceiver::OnBLOBRelay"));
    EXPECT_TRUE(messageClient.Send("rx", 7205, DString(), 5000));
    EXPECT_TRUE(log.Has("Exception catched at BLOBReceiver::OnMessageRelay"));

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
