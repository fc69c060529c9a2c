#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/shared/FrameReader.h"
#include "tessary/protocol/shared/FrameWriter.h"
#include "tests/support/LoopbackPeer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <functional>
#include <string>
#include <vector>

using ORVEX::Log::LogCapture;
using ORVEX::Tessary::Controller::BUSStream;

namespace {

// Frames written by the library over a real connection, taken apart by the peer's own parser,
// then played back and read by the library's reader.
class FrameWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(stream.Connect(LoopbackPeer::Host, peer.Port()));
        ASSERT_TRUE(peer.WaitForConnections(1));
    }

    // The single frame the library sent, once it has arrived whole.
    std::optional<PeerFrame> SentFrame() {
        if (!peer.WaitForFrames(1)) {
            ADD_FAILURE() << "no whole frame arrived; " << peer.Received().size() << " bytes";
            return std::nullopt;
        }
        std::string error;
        auto frames = ParseFrames(peer.Received(), &error);
        EXPECT_EQ(frames.size(), 1u) << error;
        EXPECT_EQ(frames[0].Size, peer.Received().size()) << "bytes after the frame";
        return frames[0];
    }

    // Plays the received bytes back and reads them as a frame.
    bool ReadBack(MessageHead& head) {
        peer.Send(peer.Received());
        if (stream.ReadBytes(&head, sizeof head) != static_cast<int32_t>(sizeof head)) {
            return false;
        }
        return NetRead(stream, head, text8, text16, blob);
    }

    LoopbackPeer peer;
    NetBuffer stream;
    DString text8;
    WString text16;
    TmplBlockBuffer<unsigned char> blob;
};

} // namespace

TEST_F(FrameWriterTest, HeadOnlyFrameIsHeadAndTail) {
    MessageHead head(HeadType::Enquiry);
    head.cbMessage = 5;
    head.SetTargetID("B");
    ASSERT_TRUE(WriteHead(stream, head));
    const auto frame = SentFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Size, 88u + 16u);
    EXPECT_EQ(frame->Head.cbMessage, 0);
    EXPECT_EQ(frame->Head.MessageID, head.MessageID);
    EXPECT_EQ(frame->Head.GetTargetID(), "B");
    EXPECT_TRUE(frame->Body.empty());
    const Bytes received = peer.Received();
    EXPECT_EQ(Bytes(received.end() - 16, received.end()), TailBytes());
}

TEST_F(FrameWriterTest, EightBitBodyLargerThanABlockRoundTrips) {
    MessageHead head(HeadType::Message);
    const Bytes body = PatternBytes(100000, 3);
    ASSERT_TRUE(WriteMessage(stream, head, body.data(), 100000));
    EXPECT_EQ(head.cbMessage, 100000);
    const auto frame = SentFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Body, body);
    EXPECT_TRUE(frame->PDVs.empty());
    MessageHead received(0);
    ASSERT_TRUE(ReadBack(received));
    EXPECT_EQ(ToBytes(text8.c_str(), static_cast<size_t>(text8.GetLength())), body);
    EXPECT_TRUE(text16.IsEmpty());
    EXPECT_TRUE(blob.IsEmpty());
}

TEST_F(FrameWriterTest, WideBodyRoundTrips) {
    MessageHead head(HeadType::Message);
    head.Flags |= HeadFlag::Wide;
    const std::u16string body = u"Grüße ✓";
    ASSERT_TRUE(WriteMessage(stream, head, body.data(), static_cast<int32_t>(body.size() * 2)));
    const auto frame = SentFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Head.cbMessage, 14);
    EXPECT_EQ(frame->WideBody(), body);
    MessageHead received(0);
    ASSERT_TRUE(ReadBack(received));
    EXPECT_EQ(text16.str(), body);
    EXPECT_TRUE(text8.IsEmpty());
}

class FrameWriterBlobTest : public FrameWriterTest,
                            public ::testing::WithParamInterface<int> {};

TEST_P(FrameWriterBlobTest, KnownSizeBlobIsOneChunkAndRoundTrips) {
    const int length = GetParam();
    const Bytes bytes = PatternBytes(static_cast<size_t>(length), 11);
    TmplBlockBuffer<unsigned char> sent;
    if (length > 0) {
        std::memcpy(sent.Allocate(length), bytes.data(), bytes.size());
    }
    MessageHead head(HeadType::Message);
    head.Flags |= HeadFlag::BLOB;
    ASSERT_TRUE(WriteBLOB(stream, head, "b", 1, sent));
    EXPECT_EQ(head.cbBLOB, length);

    const auto frame = SentFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->BodyText(), "b");
    if (length == 0) {
        EXPECT_TRUE(frame->PDVs.empty());
    } else {
        ASSERT_EQ(frame->PDVs.size(), 2u);
        EXPECT_EQ(frame->ChunkSizes(), std::vector<uint32_t>{static_cast<uint32_t>(length)});
        EXPECT_EQ(frame->PDVs[1].cbData, 0u);
        EXPECT_TRUE(frame->PDVs[1].IsLast());
        EXPECT_FALSE(frame->PDVs[0].IsLast());
        EXPECT_EQ(frame->Blob(), bytes);
    }

    MessageHead received(0);
    ASSERT_TRUE(ReadBack(received));
    EXPECT_EQ(text8, "b");
    EXPECT_EQ(blob.Length(), length);
    if (length > 0) {
        EXPECT_EQ(ToBytes(blob.GetData(), static_cast<size_t>(blob.Length())), bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, FrameWriterBlobTest,
                         ::testing::Values(0, 1, 32767, 32768, 100000, 6 * 1024 * 1024 + 3));

// Chunks small and larger than a block; a write of nothing (of no bytes, from no memory, of a
// negative count) is no chunk.
TEST_F(FrameWriterTest, StreamedBlobIsOneChunkPerPositiveWrite) {
    const Bytes first = PatternBytes(10, 1);
    const Bytes second = PatternBytes(200000, 2);
    MessageHead head(HeadType::Message);
    ASSERT_TRUE(WriteBLOBStream(stream, head, "s", 1, [&](BUSStream out) {
        out.Write(first.data(), 10);
        out.Write(first.data(), 0);
        out.Write(nullptr, 0);
        out.Write(first.data(), -5);
        BUSStream copy = out;
        copy.Write(second.data(), 200000);
    }));
    EXPECT_EQ(head.cbBLOB, UnknownBLOBSize);

    const auto frame = SentFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Head.cbBLOB, 0x7FFFFFFF);
    EXPECT_EQ(frame->ChunkSizes(), (std::vector<uint32_t>{10, 200000}));
    ASSERT_EQ(frame->PDVs.size(), 3u);
    EXPECT_TRUE(frame->PDVs[2].IsLast());
    EXPECT_EQ(frame->PDVs[2].cbData, 0u);
    Bytes joined = first;
    Append(joined, second);
    EXPECT_EQ(frame->Blob(), joined);

    LogCapture capture;
    MessageHead received(0);
    ASSERT_TRUE(ReadBack(received));
    EXPECT_EQ(ToBytes(blob.GetData(), static_cast<size_t>(blob.Length())), joined);
    EXPECT_TRUE(capture.Has("Leave ReadBLOBUnknownSize, Total : 200010"));
}

TEST_F(FrameWriterTest, ConnectionIsUncorkedAfterEachFrame) {
    MessageHead head(HeadType::Message);
    ASSERT_TRUE(WriteMessage(stream, head, "x", 1));
    int corked = -1;
    socklen_t length = sizeof corked;
    ASSERT_EQ(::getsockopt(stream.SocketHolder()->Handle(), IPPROTO_TCP, TCP_CORK, &corked,
                           &length),
              0);
    EXPECT_EQ(corked, 0);
}

TEST_F(FrameWriterTest, WritingOnAClosedConnectionIsHarmless) {
    stream.Close();
    LogCapture capture;
    MessageHead head(HeadType::Message);
    const Bytes bytes = PatternBytes(50000);
    TmplBlockBuffer<unsigned char> sent;
    std::memcpy(sent.Allocate(50000), bytes.data(), bytes.size());
    EXPECT_TRUE(WriteBLOB(stream, head, "b", 1, sent));
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(stream.Pending(), 0u);
}
