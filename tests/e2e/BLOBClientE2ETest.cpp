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

TEST_F(BLOBClientE2ETest, EveryOverloadCarriesItsMessageAndReturnsItsReplies) {
    AnswerBLOBs(7002, 5);
    StartReceiver();
    const Block blob = Pattern(100, 1);
    Block replyBLOB;
    DString reply;
    WString wreply;

    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, blob, 5000));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, blob, replyBLOB, 5000));
    EXPECT_TRUE(MatchesPattern(replyBLOB, 5, 2));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, DString("d1"), blob, 5000));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, WString(u"w1\u00e9"), blob, 5000));
    replyBLOB.LetGo();
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, DString("d2"), blob, replyBLOB, 5000));
    EXPECT_TRUE(MatchesPattern(replyBLOB, 5, 2));
    replyBLOB.LetGo();
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, WString(u"w2"), blob, replyBLOB, 5000));
    EXPECT_TRUE(MatchesPattern(replyBLOB, 5, 2));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, DString("d3"), blob, reply, 5000));
    EXPECT_EQ(reply, DString("got 100"));
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, WString(u"w3"), blob, wreply, 5000));
    EXPECT_EQ(wreply, WString(u"got 100"));
    reply.Empty();
    wreply.Empty();
    replyBLOB.LetGo();
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, DString("d4"), blob, reply, replyBLOB, 5000));
    EXPECT_EQ(reply, DString("got 100"));
    EXPECT_TRUE(MatchesPattern(replyBLOB, 5, 2));
    replyBLOB.LetGo();
    EXPECT_TRUE(blobClient.SendBLOB("rx", 7002, WString(u"w4"), blob, wreply, replyBLOB, 5000));
    EXPECT_EQ(wreply, WString(u"got 100"));
    EXPECT_TRUE(MatchesPattern(replyBLOB, 5, 2));

    const auto seen = deliveries.All();
    ASSERT_EQ(seen.size(), 10u);
    const char* messages[] = {"", "", "d1", nullptr, "d2", nullptr, "d3", nullptr, "d4", nullptr};
    const char16_t* wide[] = {u"", u"", u"", u"w1\u00e9", u"", u"w2", u"", u"w3", u"", u"w4"};
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].Message, messages[i] ? messages[i] : "") << "send " << i;
        EXPECT_EQ(seen[i].WMessage, wide[i]) << "send " << i;
        EXPECT_TRUE(MatchesPattern(seen[i].BLOB, 100, 1)) << "send " << i;
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
