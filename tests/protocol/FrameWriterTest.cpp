#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/shared/FrameReader.h"
#include "tessary/protocol/shared/FrameWriter.h"
#include "tests/protocol/SessionFixture.h"

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

Bytes BlockBytes(const TmplBlockBuffer<unsigned char>& blob) {
    return blob.IsEmpty() ? Bytes{} : ToBytes(blob.GetData(), static_cast<size_t>(blob.Length()));
}

// One writer call and the frame it must put on the wire.
struct WriteCase {
    const char* Name;
    std::function<bool(NetBuffer&, MessageHead&)> Write;
    Bytes Body = {};
    bool Wide = false;
    // The data PDVs' sizes and bytes; cbBLOB is the bytes' size, or the unknown size when
    // streamed.
    std::vector<uint32_t> Chunks = {};
    Bytes Blob = {};
    bool Streamed = false;
};

void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.Name; }

WriteCase BodyCase(const char* name, const Bytes& body, bool wide) {
    return {name,
            [body](NetBuffer& stream, MessageHead& head) {
                return WriteMessage(stream, head, body.data(), static_cast<int32_t>(body.size()));
            },
            body, wide};
}

WriteCase KnownBlob(const char* name, int length) {
    const Bytes bytes = PatternBytes(static_cast<size_t>(length), 11);
    return {name,
            [bytes, length](NetBuffer& stream, MessageHead& head) {
                TmplBlockBuffer<unsigned char> sent;
                if (length > 0) {
                    std::memcpy(sent.Allocate(length), bytes.data(), bytes.size());
                }
                head.Flags |= HeadFlag::BLOB;
                return WriteBLOB(stream, head, "b", 1, sent);
            },
            ToBytes("b"), false,
            length > 0 ? std::vector<uint32_t>{static_cast<uint32_t>(length)}
                       : std::vector<uint32_t>{},
            bytes};
}

// Frames written by the library over a real connection, taken apart by the peer's own parser,
// then played back and read by the library's reader.
class FrameWriterTest : public StreamTest, public ::testing::WithParamInterface<WriteCase> {};

} // namespace

TEST_P(FrameWriterTest, TheFrameOnTheWireIsWhatTheReaderGetsBack) {
    const WriteCase& c = GetParam();
    MessageHead head(HeadType::Message);
    // A length the writer must replace with what it writes.
    head.cbMessage = 5;
    if (c.Wide) {
        head.Flags |= HeadFlag::Wide;
    }
    ASSERT_TRUE(c.Write(stream, head));
    ASSERT_TRUE(peer.WaitForFrames(1)) << peer.Received().size() << " bytes";
    const Bytes received = peer.Received();
    const auto frames = ParseFrames(received);
    ASSERT_EQ(frames.size(), 1u);
    const PeerFrame& frame = frames[0];
    EXPECT_EQ(frame.Size, received.size()) << "bytes after the frame";
    EXPECT_EQ(frame.Head.MessageID, head.MessageID);
    EXPECT_EQ(frame.Head.cbMessage, static_cast<int32_t>(c.Body.size()));
    EXPECT_EQ(frame.Head.cbBLOB, head.cbBLOB);
    EXPECT_EQ(head.cbBLOB, c.Streamed ? UnknownBLOBSize : static_cast<int32_t>(c.Blob.size()));
    EXPECT_EQ(frame.Body, c.Body);
    EXPECT_EQ(frame.ChunkSizes(), c.Chunks);
    EXPECT_EQ(frame.Blob(), c.Blob);
    // A BLOB ends with an empty closing PDV; an empty one of known size has no PDV at all.
    const bool pdvs = c.Streamed || !c.Chunks.empty();
    ASSERT_EQ(frame.PDVs.size(), pdvs ? c.Chunks.size() + 1 : 0u);
    if (pdvs) {
        EXPECT_TRUE(frame.PDVs.back().IsLast());
        EXPECT_EQ(frame.PDVs.back().cbData, 0u);
    }
    EXPECT_EQ(Bytes(received.end() - 16, received.end()), TailBytes());

    peer.Send(received);
    MessageHead read(0);
    DString text8;
    WString text16;
    TmplBlockBuffer<unsigned char> blob;
    ASSERT_EQ(stream.ReadBytes(&read, sizeof read), static_cast<int32_t>(sizeof read));
    ASSERT_TRUE(NetRead(stream, read, text8, text16, blob));
    EXPECT_TRUE(stream.IsEmpty());
    // A wide body's odd last byte ends in a half character, padded with a zero.
    Bytes body = c.Body;
    if (c.Wide && body.size() % 2 != 0) {
        body.push_back(0);
    }
    const auto* text = c.Wide ? static_cast<const void*>(text16.str().data()) : text8.c_str();
    EXPECT_EQ(static_cast<size_t>(c.Wide ? 2 * text16.GetLength() : text8.GetLength()),
              body.size());
    EXPECT_EQ(ToBytes(text, body.size()), body);
    EXPECT_TRUE(c.Wide ? text8.IsEmpty() : text16.IsEmpty());
    EXPECT_EQ(BlockBytes(blob), c.Blob);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameWriterTest,
    ::testing::Values(
        WriteCase{"HeadOnly",
                  [](NetBuffer& stream, MessageHead& head) { return WriteHead(stream, head); }},
        // The long bodies pass through the reader's mapped block, grown and copied out in steps.
        BodyCase("BodyPastTheFirstStep", PatternBytes((9 << 19) + 3, 9), false),
        BodyCase("WideBody", ToBytes(u"Grüße ✓", 14), true),
        BodyCase("OddWideBody", ToBytes("abcdefg"), true),
        BodyCase("LongOddWideBody", PatternBytes((9 << 19) + 3, 9), true),
        KnownBlob("EmptyBlob", 0), KnownBlob("OneByte", 1), KnownBlob("BelowABlock", 32767),
        KnownBlob("ABlock", 32768), KnownBlob("SeveralBlocks", 100000),
        KnownBlob("Mapped", 6 * 1024 * 1024 + 3),
        // Chunks small and larger than a block; a write of nothing (of no bytes, from no
        // memory, of a negative count) is no chunk.
        WriteCase{"Streamed",
                  [](NetBuffer& stream, MessageHead& head) {
                      const Bytes first = PatternBytes(10, 1);
                      const Bytes second = PatternBytes(200000, 2);
                      return WriteBLOBStream(stream, head, "s", 1, [&](BUSStream out) {
                          out.Write(first.data(), 10);
                          out.Write(first.data(), 0);
                          out.Write(nullptr, 0);
                          out.Write(first.data(), -5);
                          BUSStream copy = out;
                          copy.Write(second.data(), 200000);
                      });
                  },
                  ToBytes("s"), false, {10, 200000},
                  [] {
                      Bytes joined = PatternBytes(10, 1);
                      Append(joined, PatternBytes(200000, 2));
                      return joined;
                  }(),
                  true}),
    [](const ::testing::TestParamInfo<WriteCase>& param) { return param.param.Name; });

using FrameWriterConnectionTest = StreamTest;

TEST_F(FrameWriterConnectionTest, IsUncorkedAfterEachFrameAndWritingWhenClosedIsHarmless) {
    MessageHead head(HeadType::Message);
    ASSERT_TRUE(WriteMessage(stream, head, "x", 1));
    int corked = -1;
    socklen_t length = sizeof corked;
    ASSERT_EQ(::getsockopt(stream.SocketHolder()->Handle(), IPPROTO_TCP, TCP_CORK, &corked,
                           &length),
              0);
    EXPECT_EQ(corked, 0);

    stream.Close();
    LogCapture capture;
    TmplBlockBuffer<unsigned char> sent;
    std::memcpy(sent.Allocate(50000), PatternBytes(50000).data(), 50000);
    EXPECT_TRUE(WriteBLOB(stream, head, "b", 1, sent));
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(stream.Pending(), 0u);
}
