#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/shared/FrameReader.h"
#include "tessary/protocol/shared/FrameWriter.h"
#include "tests/protocol/SessionFixture.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <functional>
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
    // The data PDVs' bytes; cbBLOB is their size, or the unknown size when streamed.
    std::vector<Bytes> Chunks = {};
    bool Streamed = false;
};

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
            ToBytes("b"), false, length > 0 ? std::vector<Bytes>{bytes} : std::vector<Bytes>{}};
}

// Frames written by the library over a real connection, compared with the test's own build of
// them, then played back and read by the library's reader.
// Test listings name a case rather than dump its bytes.
void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.Name; }

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
    // The test's own builder makes the frame the writer must have written: an empty BLOB of
    // known size has no PDV, any other ends with an empty closing PDV. Waiting for its size
    // rather than for a parsed frame keeps the megabyte cases quick under the sanitizers.
    FrameBuilder builder(head);
    builder.RawBody(c.Body);
    if (c.Streamed || !c.Chunks.empty()) {
        builder.Chunks(c.Chunks, c.Streamed);
    }
    const Bytes expected = builder.Build();
    ASSERT_TRUE(peer.WaitForBytes(expected.size(), 0, 5 * Bound)) << peer.Received().size();
    const Bytes received = peer.Received();
    EXPECT_TRUE(received == expected) << received.size() << " bytes";
    Bytes blobBytes;
    for (const Bytes& chunk : c.Chunks) {
        Append(blobBytes, chunk);
    }
    EXPECT_EQ(head.cbBLOB, c.Streamed ? UnknownBLOBSize : static_cast<int32_t>(blobBytes.size()));

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
    EXPECT_TRUE(BlockBytes(blob) == blobBytes);
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
                  ToBytes("s"), false, {PatternBytes(10, 1), PatternBytes(200000, 2)}, true}),
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
