#include "tessary/external/LogCapture.h"
#include "tessary/foundation/IStreamBuffer.h"
#include "tessary/protocol/FrameReader.h"
#include "tessary/protocol/NetBuffer.h"
#include "tests/support/LoopbackPeer.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using ORVEX::Log::Level;
using ORVEX::Log::LogCapture;

namespace {

MessageHead MessageFrameHead() {
    MessageHead head(HeadType::Message);
    head.SetSourceID("A");
    head.SetTargetID("B");
    return head;
}

// Overwrites a 32-bit field of a frame's bytes.
void Patch(Bytes& bytes, size_t offset, uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// A known-size BLOB of 100 bytes announced in the head, followed by raw bytes.
Bytes KnownHundred(const Bytes& after) {
    Bytes bytes = FrameBuilder(MessageFrameHead()).CbBLOB(100).Build();
    bytes.resize(88);
    Append(bytes, after);
    return bytes;
}

// A streamed BLOB announced in the head, followed by raw bytes.
Bytes Streamed(const Bytes& after) {
    Bytes bytes = HeadBytes(MessageFrameHead());
    Patch(bytes, offsetof(MessageHead, cbBLOB), UnknownBLOBSize);
    Append(bytes, after);
    return bytes;
}

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes bytes;
    for (const auto& part : parts) {
        Append(bytes, part);
    }
    return bytes;
}

Bytes PDVWithMagic(uint32_t magic) {
    Bytes pdv = PDVBytes(10, false);
    Patch(pdv, 0, magic);
    return pdv;
}

struct ReaderCase {
    const char* Name;
    // The whole frame as the peer sends it before closing the connection.
    std::function<Bytes()> Frame;
    bool Result;
    // The one line the reader writes (an error line on failure, the debug line on success
    // where there is one).
    const char* Line;
    // Length of the BLOB on success.
    int BlobLength = 0;
    // The BLOB's bytes on success, where the case checks them.
    std::vector<Bytes> Chunks = {};
    int32_t MaxFrame = INT32_MAX;
};

void PrintTo(const ReaderCase& c, std::ostream* out) { *out << c.Name; }

// Each case plays a frame, whole or broken, over a real connection that the peer then closes,
// and reads it with a NetBuffer as a receiver would: head first, then NetRead.
class FrameReaderTest : public ::testing::TestWithParam<ReaderCase> {
protected:
    void SetUp() override {
        ASSERT_TRUE(stream.Connect(LoopbackPeer::Host, peer.Port()));
        ASSERT_TRUE(peer.WaitForConnections(1));
        stream.SocketHolder()->SetReceiveTimeOut(5);
    }

    bool Play(const Bytes& bytes, int32_t maxFrame) {
        peer.Send(bytes);
        peer.Close();
        MessageHead head(0);
        if (stream.ReadBytes(&head, sizeof head) != static_cast<int32_t>(sizeof head)) {
            ADD_FAILURE() << "the head did not arrive";
            return false;
        }
        return NetRead(stream, head, text8, text16, blob, maxFrame);
    }

    LoopbackPeer peer;
    NetBuffer stream;
    DString text8;
    WString text16;
    TmplBlockBuffer<unsigned char> blob;
};

} // namespace

TEST_P(FrameReaderTest, AnswersAndLogsExactly) {
    const ReaderCase& c = GetParam();
    LogCapture capture;
    EXPECT_EQ(Play(c.Frame(), c.MaxFrame), c.Result);
    std::vector<std::string> errors;
    for (const auto& line : capture.Lines()) {
        if (line.level >= Level::Error) {
            errors.push_back(line.text);
        }
    }
    if (c.Result) {
        EXPECT_TRUE(errors.empty()) << errors.front();
        if (c.Line != nullptr) {
            EXPECT_TRUE(capture.Has(c.Line)) << "missing: " << c.Line;
        }
        EXPECT_EQ(blob.Length(), c.BlobLength);
        const Bytes expected = Concat(c.Chunks);
        if (!expected.empty() && blob.Length() == c.BlobLength) {
            EXPECT_EQ(Bytes(blob.GetData(), blob.GetData() + blob.Length()), expected);
        }
    } else {
        EXPECT_EQ(errors, std::vector<std::string>{c.Line});
        EXPECT_TRUE(blob.IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameReaderTest,
    ::testing::Values(
        ReaderCase{"HeadAndTailOnly", [] { return FrameBuilder(MessageFrameHead()).Build(); },
                   true, nullptr},
        ReaderCase{"NegativeBlobLengthMeansNoBlob",
                   [] { return FrameBuilder(MessageFrameHead()).Body("x").CbBLOB(-5).Build(); },
                   true, nullptr},
        ReaderCase{"BodyMissing",
                   [] {
                       Bytes b = FrameBuilder(MessageFrameHead()).CbMessage(10).Build();
                       b.resize(88);
                       return b;
                   },
                   false, "Leave NetRead, BUS Protocol error, cbRead <= 0"},
        ReaderCase{"BodyShort",
                   [] {
                       Bytes b = FrameBuilder(MessageFrameHead()).Body("abcd").CbMessage(10).Build();
                       b.resize(92);
                       return b;
                   },
                   false, "Leave NetRead, BUS Protocol error, cbRead < cbMessage"},
        ReaderCase{"TailMissing",
                   [] { return FrameBuilder(MessageFrameHead()).NoTail().Build(); }, false,
                   "Leave NetRead, BUS Protocol error, cbTail <= 0"},
        ReaderCase{"TailShort",
                   [] {
                       Bytes b = FrameBuilder(MessageFrameHead()).Build();
                       b.resize(88 + 10);
                       return b;
                   },
                   false, "Leave NetRead, BUS Protocol error, cbTail < sizeof (Tail)"},
        ReaderCase{"TailWithPDVMagic",
                   [] {
                       Bytes b = FrameBuilder(MessageFrameHead()).Build();
                       Patch(b, 88, PDVMagic);
                       return b;
                   },
                   false, "Leave NetRead, BUS Protocol error, Tail is not found"},
        ReaderCase{"KnownPDVMissing", [] { return KnownHundred({}); }, false,
                   "Leave NetRead, BUS Protocol error, cbPDV <= 0"},
        ReaderCase{"KnownPDVShort",
                   [] {
                       Bytes pdv = PDVBytes(60, false);
                       pdv.resize(10);
                       return KnownHundred(pdv);
                   },
                   false, "Leave NetRead, BUS Protocol error, cbPDV < sizeof (MessagePDV)"},
        ReaderCase{"KnownPDVWithHeadMagic", [] { return KnownHundred(PDVWithMagic(HeadMagic)); },
                   false, "Leave NetRead, BUS Protocol error! PDV.Is ())"},
        ReaderCase{"KnownThirdChunkOverruns",
                   [] {
                       return FrameBuilder(MessageFrameHead())
                           .Chunks({PatternBytes(60), PatternBytes(40), PatternBytes(1)}, false)
                           .CbBLOB(100)
                           .Build();
                   },
                   false, "Leave NetRead, BUS Protocol error! Too much PDV"},
        // 60 + 0xFFFFFFF0 wraps to 76 in 32 bits; it must still count as too much.
        ReaderCase{"KnownHugeChunkCannotWrapTheTotal",
                   [] {
                       return KnownHundred(Concat({PDVBytes(60, false), PatternBytes(60),
                                                   PDVBytes(0xFFFFFFF0u, false)}));
                   },
                   false, "Leave NetRead, BUS Protocol error! Too much PDV"},
        ReaderCase{"KnownChunkCutShortByClose",
                   [] { return KnownHundred(Concat({PDVBytes(60, false), PatternBytes(30)})); },
                   false, "Leave NetRead, BUS Protocol error, cbPDV <= 0"},
        ReaderCase{"KnownInTwoChunks",
                   [] {
                       return FrameBuilder(MessageFrameHead())
                           .Chunks({PatternBytes(60), PatternBytes(40)}, false)
                           .Build();
                   },
                   true, "Leave ReadBLOBKnowSize, 100 of 100", 100},
        ReaderCase{"KnownClosedEarly",
                   [] {
                       return FrameBuilder(MessageFrameHead())
                           .Chunks({PatternBytes(60)}, false)
                           .CbBLOB(100)
                           .Build();
                   },
                   true, "Leave ReadBLOBKnowSize, 100 of 60", 100},
        ReaderCase{"StreamedPDVMissing", [] { return Streamed({}); }, false,
                   "Leave NetRead, BUS Protocol error, cbPDV <= 0"},
        ReaderCase{"StreamedPDVShort", [] { return Streamed(Bytes(20, 0x5A)); }, false,
                   "Leave NetRead, BUS Protocol error, cbPDV < sizeof (MessagePDV)"},
        ReaderCase{"StreamedPDVWithTailMagic",
                   [] { return Streamed(PDVWithMagic(TailMagic)); }, false,
                   "Leave NetRead, BUS Protocol error! PDV.Is ())"},
        ReaderCase{"StreamedChunkBeyondABlock",
                   [] { return Streamed(PDVBytes(0x80000000u, false)); }, false,
                   "Leave NetRead, BUS Protocol error! Too much PDV"},
        // The body's 10 bytes count too: 10 + 60 + 40 passes a limit of 100.
        ReaderCase{"StreamedPastTheLimit",
                   [] {
                       return FrameBuilder(MessageFrameHead())
                           .Body("0123456789")
                           .Chunks({PatternBytes(60), PatternBytes(40)}, true)
                           .Build();
                   },
                   false, "Leave NetRead, BUS Protocol error! Too much PDV", 0, {}, 100},
        ReaderCase{"StreamedFirstPDVCloses",
                   [] { return FrameBuilder(MessageFrameHead()).Chunks({}, true).Build(); }, true,
                   "Leave ReadBLOBUnknownSize, Total : 0", 0},
        ReaderCase{"StreamedChunks",
                   [] {
                       return FrameBuilder(MessageFrameHead())
                           .Chunks({PatternBytes(3), PatternBytes(70000), PatternBytes(1)}, true)
                           .Build();
                   },
                   true, "Leave ReadBLOBUnknownSize, Total : 70004", 70004,
                   {PatternBytes(3), PatternBytes(70000), PatternBytes(1)}},
        ReaderCase{"StreamedOneChunk",
                   [] {
                       return FrameBuilder(MessageFrameHead())
                           .Chunks({PatternBytes(5000, 7)}, true)
                           .Build();
                   },
                   true, "Leave ReadBLOBUnknownSize, Total : 5000", 5000,
                   {PatternBytes(5000, 7)}},
        ReaderCase{"StreamedEmptyChunkFirst",
                   [] {
                       return FrameBuilder(MessageFrameHead())
                           .Chunks({Bytes{}, PatternBytes(10, 3), PatternBytes(20, 4)}, true)
                           .Build();
                   },
                   true, "Leave ReadBLOBUnknownSize, Total : 30", 30,
                   {PatternBytes(10, 3), PatternBytes(20, 4)}}),
    [](const ::testing::TestParamInfo<ReaderCase>& caseInfo) { return caseInfo.param.Name; });

TEST(FrameReaderWideTest, OddLengthKeepsEveryByteInsideTheString) {
    // 7 bytes: three whole characters and a last one made of the odd byte and a zero.
    Bytes frame = FrameBuilder(MessageFrameHead()).RawBody(ToBytes("abcdefg")).Build();
    Patch(frame, offsetof(MessageHead, Flags), HeadFlag::Wide);
    IStreamBuffer in;
    in.AppendBlock(StreamBlock::Borrow(frame.data() + 88, static_cast<uint32_t>(frame.size() - 88),
                                       false));
    DString text8;
    WString text16;
    TmplBlockBuffer<unsigned char> blob;
    ASSERT_TRUE(NetRead(in, HeadFromBytes(frame.data()), text8, text16, blob));
    EXPECT_EQ(text16.str(), (std::u16string{u'\x6261', u'\x6463', u'\x6665', u'\x0067'}));
    EXPECT_TRUE(text8.IsEmpty());
    EXPECT_TRUE(in.IsEmpty());
}

TEST(FrameReaderBodyTest, ALongBodyGrowsAsItArrivesAndEndsWhole) {
    // Over the first step of 1 MiB, and odd, so the wide one ends in a half character.
    const Bytes body = PatternBytes((5 << 19) + 3, 9);
    for (const bool wide : {false, true}) {
        Bytes frame = FrameBuilder(MessageFrameHead()).RawBody(body).Build();
        Patch(frame, offsetof(MessageHead, Flags), wide ? HeadFlag::Wide : 0);
        IStreamBuffer in;
        in.AppendBlock(StreamBlock::Borrow(frame.data() + 88,
                                           static_cast<uint32_t>(frame.size() - 88), false));
        DString text8;
        WString text16;
        TmplBlockBuffer<unsigned char> blob;
        ASSERT_TRUE(NetRead(in, HeadFromBytes(frame.data()), text8, text16, blob));
        const auto* read = wide ? static_cast<const void*>(text16.str().data()) : text8.c_str();
        EXPECT_EQ(Bytes(static_cast<const uint8_t*>(read),
                        static_cast<const uint8_t*>(read) + body.size()),
                  body);
        const auto length = static_cast<size_t>(wide ? text16.GetLength() : text8.GetLength());
        EXPECT_EQ(length, wide ? (body.size() + 1) / 2 : body.size());
    }
}
