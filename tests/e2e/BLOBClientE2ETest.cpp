#include "tests/e2e/BLOBReceiverBus.h"

#include <gtest/gtest.h>

#include <string>

using namespace blobtest;

namespace {

struct SizeCase {
    size_t blob;
    size_t reply;
};

std::string SizeName(const ::testing::TestParamInfo<SizeCase>& info) {
    return "Blob" + std::to_string(info.param.blob) + "Reply" + std::to_string(info.param.reply);
}

// Around the stream buffers' 32768-byte block; a BLOB of many MiB is the demo's step.
const SizeCase Sizes[] = {{0, 0}, {1, 1}, {32767, 32768}, {32768, 32767}, {70000, 70000}};

} // namespace

class BLOBClientSizes : public BLOBBusTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(BLOBClientSizes, ArriveByteExactAndTheReplyComesBack) {
    const SizeCase sizes = GetParam();
    AnswerBLOBs(7001, sizes.reply);
    StartReceiver();
    const Block blob = Pattern(sizes.blob, 1);
    DString reply;
    Block replyBLOB;
    ASSERT_TRUE(blobClient.SendBLOB("rx", 7001, DString("with a BLOB"), blob, reply, replyBLOB,
                                    20000));
    EXPECT_EQ(reply, DString(("got " + std::to_string(sizes.blob)).c_str()));
    EXPECT_TRUE(MatchesPattern(replyBLOB, sizes.reply, 2))
        << "reply BLOB of " << replyBLOB.Length() << " bytes, differs at "
        << PatternMismatch(replyBLOB, 2);

    const auto seen = deliveries.All();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].SourceID, "tx");
    EXPECT_EQ(seen[0].Message, "with a BLOB");
    EXPECT_TRUE(MatchesPattern(seen[0].BLOB, sizes.blob, 1))
        << "received " << seen[0].BLOB.Length() << " bytes, differs at "
        << PatternMismatch(seen[0].BLOB, 1);
    EXPECT_EQ(blob.ShareCount(), sizes.blob > 0 ? 1 : 0) << "the caller's block is still shared";
    EXPECT_TRUE(ackErrors.empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, BLOBClientSizes, ::testing::ValuesIn(Sizes), SizeName);

using BLOBClientE2ETest = BLOBBusTest;

// Sends payload (a block, or a writer for a stream) once through each of the ten SendBLOB
// overloads: without a text, with an 8-bit and with a 16-bit one, each with no reply, a reply
// BLOB, a reply text or both; the receiver answers as AnswerBLOBs(command, 5) does.
template <typename Sender, typename Payload>
void SendEveryOverload(Sender& client, int command, const Payload& payload, size_t bytes) {
    const std::string text = "got " + std::to_string(bytes);
    Block replyBLOB;
    DString reply;
    WString wreply;
    auto replied = [&replyBLOB] {
        const bool whole = MatchesPattern(replyBLOB, 5, 2);
        replyBLOB.LetGo();
        return whole;
    };
    EXPECT_TRUE(client.SendBLOB("rx", command, payload, 5000));
    EXPECT_TRUE(client.SendBLOB("rx", command, payload, replyBLOB, 5000) && replied());
    EXPECT_TRUE(client.SendBLOB("rx", command, DString("d1"), payload, 5000));
    EXPECT_TRUE(client.SendBLOB("rx", command, WString(u"w1\u00e9"), payload, 5000));
    EXPECT_TRUE(client.SendBLOB("rx", command, DString("d2"), payload, replyBLOB, 5000) && replied());
    EXPECT_TRUE(client.SendBLOB("rx", command, WString(u"w2"), payload, replyBLOB, 5000) && replied());
    EXPECT_TRUE(client.SendBLOB("rx", command, DString("d3"), payload, reply, 5000));
    EXPECT_TRUE(client.SendBLOB("rx", command, WString(u"w3"), payload, wreply, 5000));
    EXPECT_EQ(reply.str(), text);
    EXPECT_EQ(wreply.ToDString().str(), text);
    reply.Empty();
    wreply.Empty();
    EXPECT_TRUE(client.SendBLOB("rx", command, DString("d4"), payload, reply, replyBLOB, 5000) &&
                replied());
    EXPECT_TRUE(client.SendBLOB("rx", command, WString(u"w4"), payload, wreply, replyBLOB, 5000) &&
                replied());
    EXPECT_EQ(reply.str(), text);
    EXPECT_EQ(wreply.ToDString().str(), text);
}

TEST_F(BLOBClientE2ETest, EveryOverloadOfBothSendersCarriesItsMessageAndReturnsItsReplies) {
    AnswerBLOBs(7002, 5);
    StartReceiver();
    SendEveryOverload(blobClient, 7002, Pattern(100, 1), 100);
    SendEveryOverload(streamClient, 7002, PatternWriter(5000, 3), 5000);

    const auto seen = deliveries.All();
    ASSERT_EQ(seen.size(), 20u);
    const char* messages[] = {"", "", "d1", "", "d2", "", "d3", "", "d4", ""};
    const char16_t* wide[] = {u"", u"", u"", u"w1\u00e9", u"", u"w2", u"", u"w3", u"", u"w4"};
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].Message, messages[i % 10]) << "send " << i;
        EXPECT_EQ(seen[i].WMessage, wide[i % 10]) << "send " << i;
        EXPECT_TRUE(i < 10 ? MatchesPattern(seen[i].BLOB, 100, 1)
                           : MatchesPattern(seen[i].BLOB, 5000, 3))
            << "send " << i;
        EXPECT_EQ(seen[i].SourceID, i < 10 ? "tx" : "stx");
    }
}

TEST_F(BLOBClientE2ETest, AnErrorAnswerFailsTheSendWithItsCodeAndText) {
    receiver.BLOBEvent.Add(7003, Handler([](const void*, EventArgs_BUSMessage* e) {
                               e->ResultCode = 5;
                               e->ReplyText = "abc";
                               static_cast<EventArgs_BUSBLOB*>(e)->ReplyBLOB = Pattern(10, 2);
                           }));
    StartReceiver();
    DString reply("kept?");
    Block replyBLOB;
    EXPECT_FALSE(blobClient.SendBLOB("rx", 7003, DString("x"), Pattern(10, 1), reply, replyBLOB,
                                     5000));
    EXPECT_TRUE(reply.IsEmpty());
    ASSERT_EQ(ackErrors.size(), 1u);
    EXPECT_EQ(ackErrors[0].Code, 5);
    EXPECT_EQ(ackErrors[0].Text, "abc");
    EXPECT_EQ(ackErrors[0].Command, 7003);
    // The connection carries on: the error frame was read whole.
    AnswerBLOBs(7004);
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7004, Pattern(10, 1), 5000));
}
