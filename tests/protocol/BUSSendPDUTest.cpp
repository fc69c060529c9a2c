#include "tessary/protocol/shared/FrameWriter.h"
#include "testkit/Eventually.h"
#include "tests/protocol/SessionFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace {

// The socket's receive time-out once it differs from before (the reader sets it just after
// the request went out, so a peer answering at once may look a moment too early); before
// itself when it does not change within about 2 s.
int ReceiveTimeOutOnceChanged(const Socket& socket, int before) {
    Eventually([&] { return socket.ReceiveTimeOut() != before; });
    return socket.ReceiveTimeOut();
}

XDWHolder<MessageHead> MessageTo(const char* target, int command, uint32_t flags = 0) {
    XDWHolder<MessageHead> head(new MessageHead(HeadType::Message));
    head->CallerID = 9;
    head->Command = command;
    head->Flags = flags;
    head->SetSourceID("me");
    head->SetTargetID(target);
    return head;
}

} // namespace

using BUSPostPDUTest = SessionTest;

// The flags and lengths each body type gives a head are the senders' end-to-end table; here
// the wide flag a BLOB's head brings is replaced by the body's, and the log lines.
TEST_F(BUSPostPDUTest, SendMessageAndSendBLOBLogTheirSendAndTakeTheReply) {
    peer.SetResponder(Answering(HeadType::Reply));
    auto head = MessageTo("you", 6001);
    EXPECT_TRUE(pdu.SendMessage(head, DString("abc")));
    TmplBlockBuffer<unsigned char> blob;
    std::memcpy(blob.Allocate(5), "12345", 5);
    auto blobHead = MessageTo("you", 1, HeadFlag::Wide | HeadFlag::BLOB);
    EXPECT_TRUE(pdu.SendBLOB(blobHead, DString("ab"), blob));
    ASSERT_TRUE(peer.WaitForFrames(2));
    const auto frames = peer.Frames();
    EXPECT_EQ(frames[0].BodyText(), "abc");
    EXPECT_TRUE(log.Has("<-A-- [" + std::to_string(frames[0].Head.MessageID) +
                        " : 9] Sending message to <you> of <6001 (BUSSetting)>"));
    EXPECT_FALSE(frames[1].Head.HasFlag(HeadFlag::Wide));
    EXPECT_EQ(frames[1].Blob, ToBytes("12345"));
    EXPECT_TRUE(log.Has("<-A-- [" + std::to_string(frames[1].Head.MessageID) +
                        " : 9] Sending BLOB to <you> of <1 ()>"));
}

TEST_F(BUSPostPDUTest, TcpNoDelaySettingIsTheExact24ByteBodyAndAlwaysTrue) {
    std::atomic<int> during{-1};
    peer.SetResponder([this, &during](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        during = ReceiveTimeOutOnceChanged(pdu.GetSocket(), 77);
        Answering(HeadType::Failed)(p, connection, frame);
    });
    pdu.GetSocket().SetReceiveTimeOut(77);
    EXPECT_TRUE(pdu.PostTcpNoDelay("me", 12));
    const PeerFrame frame = OnlyFrame();
    EXPECT_EQ(frame.Head.Type, HeadType::Setting);
    EXPECT_EQ(frame.Head.Command, 6090);
    EXPECT_EQ(frame.Head.CallerID, 12u);
    EXPECT_EQ(frame.Head.TimeOut, 5000);
    EXPECT_EQ(frame.Head.Flags, 0u);
    EXPECT_EQ(std::string(frame.Head.TargetID), "__BUSServer");
    EXPECT_EQ(std::string(frame.Head.SourceID), "me");
    EXPECT_EQ(frame.BodyText(), std::string("{\r\n  \"TcpNoDelay\" : 1\r\n}"));
    EXPECT_EQ(during.load(), 5);
    EXPECT_EQ(pdu.GetSocket().ReceiveTimeOut(), 77);
    EXPECT_TRUE(log.Has("Leave PostPDU.BUSSetting"));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, -20);
}

// Reads the acknowledgement of message id into the fixture's head, text and BLOB.
class BUSSendPDUTest : public SessionTest {
protected:
    bool ReadAck(uint32_t id = 42) { return pdu.ReadAck(id, head, text, blob, 2000); }

    MessageHead head;
    DString text;
    TmplBlockBuffer<unsigned char> blob;
};

// The acknowledgement of expectedID as a target answers it.
MessageHead AckOf(uint32_t type, uint32_t messageID) {
    MessageHead ack = Head(type, "you", "me");
    ack.MessageID = messageID;
    ack.CallerID = 9;
    return ack;
}

TEST_F(BUSSendPDUTest, AnAckIsReadWholeInTheCallersWidthAndAnEmptyOneKeepsTheText) {
    peer.Send(FrameBuilder(AckOf(HeadType::Ack, 42)).Body("hello").Build());
    peer.Send(FrameBuilder(AckOf(HeadType::Ack, 43)).Build());
    EXPECT_TRUE(ReadAck());
    EXPECT_EQ(text, DString("hello"));
    EXPECT_TRUE(log.Has("--D-> [42 : 9] Leave DoReadAck, get Ack <you> -> <me>,   5 bytes"));
    EXPECT_TRUE(ReadAck(43));
    EXPECT_EQ(text, DString("hello"));
    EXPECT_TRUE(log.Has("--D-> [43 : 9] Leave DoReadAck, get Ack <you> -> <me>"));
    EXPECT_TRUE(errors.empty());
    // Texts come in the caller's width, whichever the sender wrote.
    peer.Send(FrameBuilder(AckOf(HeadType::Ack, 44)).WideBody(u"\u00e9t\u00e9").Build());
    peer.Send(FrameBuilder(AckOf(HeadType::Ack, 45)).Body("\xC3\xA9t\xC3\xA9").Build());
    EXPECT_TRUE(ReadAck(44));
    EXPECT_EQ(text, DString("\xC3\xA9t\xC3\xA9"));
    WString wide;
    EXPECT_TRUE(pdu.ReadAck(45, head, wide, blob, 2000));
    EXPECT_EQ(wide, WString(u"\u00e9t\u00e9"));
}

TEST_F(BUSSendPDUTest, AnAckOfAnotherMessageIsDiscardedAndTheNextFrameLeftUnread) {
    peer.Send(FrameBuilder(AckOf(HeadType::Ack, 41)).Body("stray").Build());
    peer.Send(FrameBuilder(AckOf(HeadType::Ack, 42)).Body("mine").Build());
    EXPECT_FALSE(ReadAck());
    EXPECT_TRUE(log.Has("BUS Sequence error ! Different MessageID in ACK ! Expect 42 but get 41"));
    EXPECT_TRUE(log.Has("      [42] Discard a FUNNY Ack message of 41"));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, -7);
    EXPECT_EQ(errors[0].Text, "BUS Sequence error");
    // The frame after the stray one is still there, whole.
    EXPECT_TRUE(ReadAck());
    EXPECT_EQ(text, DString("mine"));
}

// An answer that breaks off or is not the one the read waits for: the ack of message 42, or the
// reply to an enquiry, cut to Keep bytes, after which the peer closes. The reply is read as
// head and tail whatever its lengths say, so a body or a BLOB's closing PDV stands where its tail
// should.
struct ReadFailure {
    const char* Name;
    bool Ack;
    uint32_t Type;
    size_t Keep;
    int Code;
    const char* Text;
    const char* Line;
    const char* Body = "";
    bool Blob = false;
    uint32_t Version = 0x510;
};

constexpr size_t Whole = SIZE_MAX;

// Test listings name a case rather than dump its bytes.
void PrintTo(const ReadFailure& c, std::ostream* out) { *out << c.Name; }

class ReadFailureTest : public BUSSendPDUTest, public ::testing::WithParamInterface<ReadFailure> {};

TEST_P(ReadFailureTest, FailsWithItsLineAndCodeAndTearsNothingDown) {
    const ReadFailure f = GetParam();
    const auto answer = [f](LoopbackPeer& p, size_t connection, MessageHead answerHead) {
        answerHead.Version = f.Version;
        FrameBuilder frame(answerHead);
        frame.Body(f.Body);
        if (f.Blob) {
            frame.Chunks({}, true);
        }
        Bytes bytes = frame.Build();
        bytes.resize(std::min(bytes.size(), f.Keep));
        p.Send(bytes, connection);
        if (f.Keep != Whole) {
            p.Close(connection);
        }
    };
    if (f.Ack) {
        answer(peer, 0, AckOf(f.Type, 42));
        EXPECT_FALSE(ReadAck());
    } else {
        peer.SetResponder([f, answer](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
            answer(p, connection, AnswerHead(frame.Head, f.Type));
        });
        EXPECT_FALSE(pdu.Enquiry("me", "you", 1));
    }
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, f.Code);
    EXPECT_EQ(errors[0].Text, f.Text);
    EXPECT_EQ(errors[0].Origin, "BUSNetPDU");
    EXPECT_TRUE(log.Has(f.Line)) << f.Line;
    EXPECT_FALSE(log.HasFragment("--X--"));
    EXPECT_TRUE(f.Keep != Whole || pdu.IsConnected());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ReadFailureTest,
    ::testing::Values(
        ReadFailure{"AckNothing", true, HeadType::Ack, 0, -1, "ReadAck",
                    "Leave DoReadAck due to failed to Read"},
        ReadFailure{"AckShortHead", true, HeadType::Ack, 60, -7, "Invalid MessageHead",
                    "Leave DoReadAck due to invalid MessageHead, 60 < 88"},
        ReadFailure{"AckCutBody", true, HeadType::Ack, 88 + 4, -7, "ReadAck",
                    "Leave DoReadAck due to BUSNetRead failed", "0123456789"},
        ReadFailure{"AckFailedByTheBusServer", true, HeadType::Failed, Whole, -20,
                    "Failed when ReadAck (from BUS Server)",
                    "--F-> [42 : 9] Leave DoReadAck, get failed <you> -> <me>"},
        ReadFailure{"AckOtherHead", true, HeadType::Reply, Whole, -7, "Invalid MessageHead",
                    "Leave DoReadAck, get an invalid MessageHead : 0xf000"},
        ReadFailure{"AckNewerVersion", true, HeadType::Ack, Whole, -7, "Invalid MessageHead",
                    "Leave DoReadAck, get an invalid MessageHead : 0x6000", "", false, 0x511},
        ReadFailure{"ReplyNothing", false, HeadType::Reply, 0, -1, "Read.Reply",
                    "Leave ReadReply due to failed to Read.Reply"},
        ReadFailure{"ReplyShortHead", false, HeadType::Reply, 50, -7, "Invalid Reply",
                    "Leave ReadReply due to invalid Reply, 50 < 88"},
        ReadFailure{"ReplyNoTail", false, HeadType::Reply, 88, -1, "Read.Tail",
                    "Leave ReadReply due to failed to Read.Tail"},
        ReadFailure{"ReplyShortTail", false, HeadType::Reply, 88 + 10, -7, "Invalid Tail",
                    "Leave ReadReply due to invalid Tail, 10 < 16"},
        ReadFailure{"ReplyBodyInPlaceOfTail", false, HeadType::Reply, Whole, -7, "Invalid Tail",
                    "Leave ReadReply due to invalid Tail.", "12345"},
        ReadFailure{"ReplyPDVInPlaceOfTail", false, HeadType::Reply, Whole, -7, "Invalid Tail",
                    "Leave ReadReply due to invalid Tail.", "", true}),
    [](const auto& param) { return std::string(param.param.Name); });

// A read waits whole seconds of a time-out of a second or more, the socket's own wait for a
// shorter one, and the socket gets its own back after either.
TEST_F(BUSSendPDUTest, ReadsWaitTheirTimeOutInWholeSecondsAndPutTheSocketsOwnBack) {
    std::atomic<int> during{-1};
    pdu.GetSocket().SetReceiveTimeOut(33);
    peer.SetResponder([this, &during](LoopbackPeer& p, size_t connection, const PeerFrame& frame) {
        during = frame.Head.Command == 999 ? pdu.GetSocket().ReceiveTimeOut()
                                           : ReceiveTimeOutOnceChanged(pdu.GetSocket(), 33);
        p.Send(FrameBuilder(frame.Head.Type == HeadType::Message
                                ? AckOf(HeadType::Ack, frame.Head.MessageID)
                                : AnswerHead(frame.Head, HeadType::Reply))
                   .Build(),
               connection);
    });
    const auto waited = [&](const std::function<bool()>& read) {
        during = -1;
        EXPECT_TRUE(read());
        EXPECT_EQ(pdu.GetSocket().ReceiveTimeOut(), 33);
        return during.load();
    };
    EXPECT_EQ(waited([&] { return pdu.Subscribe("rx", 5000, 5000); }), 5);
    EXPECT_EQ(waited([&] { return pdu.Subscribe("rx", 999, 999); }), 33);
    auto message = MessageTo("you", 3000);
    // The request is not read as a reply here: the ack is what comes back.
    WriteMessage(pdu.Stream(), *message, "x", 1);
    EXPECT_EQ(waited([&] { return pdu.ReadAck(message->MessageID, head, text, blob, 3000); }), 3);
}
