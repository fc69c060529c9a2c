#include "tessary/external/internal/LogCapture.h"
#include "tessary/foundation/internal/IStreamBuffer.h"
#include "tessary/protocol/shared/FrameCodec.h"
#include "tessary/protocol/shared/FrameReader.h"
#include "testkit/FrameBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using ORVEX::Log::Level;
using ORVEX::Log::LogCapture;
using Part = FrameCodec::Part;

namespace {

FrameBuilder Frame() { return FrameBuilder(Head(HeadType::Message, "A", "B")); }

// The bytes with the 32-bit field at offset overwritten.
Bytes Patched(Bytes bytes, size_t offset, uint32_t value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
    return bytes;
}

// A message head whose field at offset is patched to value, then raw bytes.
Bytes Announcing(size_t offset, uint32_t value, const std::vector<Bytes>& after = {}) {
    Bytes bytes = Patched(HeadBytes(Head(HeadType::Message, "A", "B")), offset, value);
    Append(bytes, Concat(after));
    return bytes;
}

Bytes KnownHundred(const std::vector<Bytes>& after) {
    return Announcing(offsetof(MessageHead, cbBLOB), 100, after);
}

Bytes Streamed(const std::vector<Bytes>& after) {
    return Announcing(offsetof(MessageHead, cbBLOB), UnknownBLOBSize, after);
}

Bytes PDVWithMagic(uint32_t magic) { return Patched(PDVBytes(10, false), 0, magic); }

// Chunks of the given sizes, each with a pattern of its own so that misplaced ones show.
std::vector<Bytes> Pieces(const std::vector<size_t>& sizes) {
    std::vector<Bytes> pieces;
    for (const size_t size : sizes) {
        pieces.push_back(PatternBytes(size, static_cast<uint32_t>(pieces.size())));
    }
    return pieces;
}

Bytes Cut(Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

// What the daemon's way of feeding the codec made of a byte stream.
struct Pushed {
    std::vector<Part> parts;
    Bytes bytes; // every segment's bytes, concatenated
    std::string body;
    Bytes data;
    int frames = 0;
    std::string error;
};

// Feeds input in pieces of at most piece bytes, as the daemon's reads would deliver it.
Pushed Push(const Bytes& input, size_t piece, int64_t maxFrame) {
    FrameCodec codec(maxFrame);
    Pushed out;
    const auto* bytes = reinterpret_cast<const char*>(input.data());
    for (size_t at = 0; at < input.size() && out.error.empty();) {
        const size_t end = std::min(input.size(), at + piece);
        while (at < end) {
            size_t consumed = 0;
            const auto step = codec.Next(bytes + at, end - at, consumed);
            at += consumed;
            if (step.status == FrameCodec::Status::Error) {
                out.error = codec.ErrorText();
                break;
            }
            if (step.status == FrameCodec::Status::Segment) {
                out.parts.push_back(step.part);
                out.bytes.insert(out.bytes.end(), step.data, step.data + step.size);
                if (step.part == Part::Body) {
                    out.body.append(step.data, step.size);
                } else if (step.part == Part::Data) {
                    out.data.insert(out.data.end(), step.data, step.data + step.size);
                }
                out.frames += step.frameEnd ? 1 : 0;
            }
        }
    }
    return out;
}

// The error lines written while f ran.
template <typename F> std::vector<std::string> ErrorsOf(F f, LogCapture& capture) {
    capture.Clear();
    f();
    std::vector<std::string> errors;
    for (const auto& line : capture.Lines()) {
        if (line.level >= Level::Error) {
            errors.push_back(line.text);
        }
    }
    return errors;
}

// A stream over the bytes after the head, which then ends.
struct MemoryFrame {
    explicit MemoryFrame(const Bytes& frame) : Head(HeadFromBytes(frame.data())) {
        in.AppendBlock(StreamBlock::Borrow(frame.data() + sizeof(MessageHead),
                                           static_cast<uint32_t>(frame.size() - 88), false));
    }
    MessageHead Head;
    IStreamBuffer in;
};

// One frame, whole or broken, and what each of the three readers makes of it: the daemon
// pushing it through the codec, the library's reader pulling it, and the receiver skipping it.
struct FrameCase {
    const char* Name;
    std::function<Bytes()> Frame;
    // The daemon's reason for refusing the frame; empty when it takes it (a frame cut short
    // just waits for more).
    std::string Busd;
    // The reader's one line: its error when it fails, its debug line (if any) when it reads;
    // null for a head that only the daemon judges.
    const char* Line;
    bool Read = false;
    // The skipping reader's error line where it differs from the reader; "" when it skips.
    const char* Skip = nullptr;
    int BlobLength = 0;
    int32_t MaxFrame = INT32_MAX;
};

// Test listings name a case rather than dump its bytes.
void PrintTo(const FrameCase& c, std::ostream* out) { *out << c.Name; }

class FrameCodecTest : public ::testing::TestWithParam<FrameCase> {};

} // namespace

TEST_P(FrameCodecTest, EveryReaderKeepsTheFrameRules) {
    const FrameCase& c = GetParam();
    const Bytes frame = c.Frame();
    for (const size_t piece : {size_t{1}, size_t{7}, frame.size()}) {
        SCOPED_TRACE(piece);
        const Pushed pushed = Push(frame, piece, c.MaxFrame);
        EXPECT_EQ(pushed.error, c.Busd);
        if (pushed.error.empty()) {
            // Segments cover the input exactly, nothing lost or repeated, up to a record cut
            // short, which waits in the codec's stage.
            EXPECT_EQ(pushed.bytes, Bytes(frame.begin(), frame.begin() + pushed.bytes.size()));
            EXPECT_EQ(pushed.frames, c.Read ? 1 : 0);
            EXPECT_TRUE(!c.Read || pushed.bytes.size() == frame.size());
        }
    }
    if (c.Line == nullptr) {
        return;
    }
    LogCapture capture;
    MemoryFrame read(frame);
    DString text8;
    WString text16;
    TmplBlockBuffer<unsigned char> blob;
    bool result = false;
    const auto errors = ErrorsOf(
        [&] { result = NetRead(read.in, read.Head, text8, text16, blob, c.MaxFrame); }, capture);
    EXPECT_EQ(result, c.Read);
    if (c.Read) {
        EXPECT_TRUE(errors.empty()) << errors.front();
        EXPECT_TRUE(*c.Line == '\0' || capture.Has(c.Line)) << "missing: " << c.Line;
        EXPECT_EQ(blob.Length(), c.BlobLength);
        // The data the test's own parser finds leads the BLOB (a BLOB closed early keeps the
        // announced length).
        const Bytes expected = ParseFrames(frame).at(0).Blob;
        const size_t compared = std::min(expected.size(), static_cast<size_t>(blob.Length()));
        EXPECT_EQ(ToBytes(blob.GetData(), compared), expected);
    } else {
        EXPECT_EQ(errors, std::vector<std::string>{c.Line});
        EXPECT_TRUE(blob.IsEmpty());
    }

    MemoryFrame skipped(frame);
    const char* skipLine = c.Skip != nullptr ? c.Skip : c.Read ? "" : c.Line;
    EXPECT_EQ(ErrorsOf([&] { result = SkipFrameRest(skipped.in, skipped.Head); }, capture),
              *skipLine == '\0' ? std::vector<std::string>{} : std::vector<std::string>{skipLine});
    EXPECT_EQ(result, *skipLine == '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameCodecTest,
    ::testing::Values(
        FrameCase{"HeadAndTailOnly", [] { return Frame().Build(); }, "", "", true},
        FrameCase{"HeadMagic", [] { return Announcing(0, 0x1234); }, "wrong head magic 0x1234",
                  nullptr},
        FrameCase{"HeadSize", [] { return Announcing(offsetof(MessageHead, Size), 92); },
                  "wrong head size 92", nullptr},
        FrameCase{"NewerVersion", [] { return Announcing(offsetof(MessageHead, Version), 0x511); },
                  "unsupported version 0x511", nullptr},
        // The daemon refuses negative lengths; the library reads them as nothing.
        FrameCase{"NegativeBodyLength", [] { return Frame().CbMessage(-1).Build(); },
                  "negative body length -1", "", true},
        FrameCase{"NegativeBlobLength", [] { return Frame().Body("x").CbBLOB(-5).Build(); },
                  "negative BLOB length -5", "", true},
        // Skipping knows no limit: it reads on and finds nothing.
        FrameCase{"BodyAndBlobOverLimit", [] { return Frame().CbMessage(1000).CbBLOB(25).Build(); },
                  "frame of 1025 bytes over the limit of 1024",
                  "Leave NetRead, BUS Protocol error, frame of 1025 bytes over the limit of 1024",
                  false, "Leave NetRead, BUS Protocol error, cbRead < cbMessage", 0, 1024},
        FrameCase{"BodyMissing", [] { return Cut(Frame().CbMessage(10).Build(), 88); }, "",
                  "Leave NetRead, BUS Protocol error, cbRead <= 0"},
        FrameCase{"BodyShort", [] { return Cut(Frame().Body("abcd").CbMessage(10).Build(), 92); },
                  "", "Leave NetRead, BUS Protocol error, cbRead < cbMessage"},
        FrameCase{"TailMissing", [] { return Cut(Frame().Build(), 88); }, "",
                  "Leave NetRead, BUS Protocol error, cbTail <= 0"},
        FrameCase{"TailShort", [] { return Cut(Frame().Build(), 88 + 10); }, "",
                  "Leave NetRead, BUS Protocol error, cbTail < sizeof (Tail)"},
        // Skipping does not look at the tail's magic.
        FrameCase{"TailWithPDVMagic", [] { return Patched(Frame().Build(), 88, PDVMagic); },
                  "wrong tail magic 0xa55a", "Leave NetRead, BUS Protocol error, Tail is not found",
                  false, ""},
        FrameCase{"KnownPDVMissing", [] { return KnownHundred({}); }, "",
                  "Leave NetRead, BUS Protocol error, cbPDV <= 0"},
        FrameCase{"KnownPDVShort", [] { return KnownHundred({Cut(PDVBytes(60, false), 10)}); },
                  "", "Leave NetRead, BUS Protocol error, cbPDV < sizeof (MessagePDV)"},
        FrameCase{"KnownPDVWithHeadMagic", [] { return KnownHundred({PDVWithMagic(HeadMagic)}); },
                  "wrong PDV magic 0x55aa", "Leave NetRead, BUS Protocol error! PDV.Is ())"},
        FrameCase{"KnownThirdChunkOverruns",
                  [] { return Frame().Chunks(Pieces({60, 40, 1}), false).CbBLOB(100).Build(); },
                  "PDV chain of 101 bytes overruns cbBLOB 100",
                  "Leave NetRead, BUS Protocol error! Too much PDV"},
        // 60 + 0xFFFFFFF0 wraps to 76 in 32 bits; it must still count as too much.
        FrameCase{"KnownHugeChunkCannotWrapTheTotal",
                  [] {
                      return KnownHundred(
                          {PDVBytes(60, false), PatternBytes(60), PDVBytes(0xFFFFFFF0u, false)});
                  },
                  "PDV chain of 4294967340 bytes overruns cbBLOB 100",
                  "Leave NetRead, BUS Protocol error! Too much PDV"},
        FrameCase{"KnownChunkCutShortByClose",
                  [] { return KnownHundred({PDVBytes(60, false), PatternBytes(30)}); }, "",
                  "Leave NetRead, BUS Protocol error, cbPDV <= 0"},
        FrameCase{"KnownInTwoChunks",
                  [] { return Frame().Chunks(Pieces({60, 40}), false).Build(); }, "",
                  "Leave ReadBLOBKnowSize, 100 of 100", true, nullptr, 100},
        FrameCase{"KnownClosedEarly",
                  [] { return Frame().Chunks(Pieces({60}), false).CbBLOB(100).Build(); }, "",
                  "Leave ReadBLOBKnowSize, 100 of 60", true, nullptr, 100},
        FrameCase{"StreamedPDVMissing", [] { return Streamed({}); }, "",
                  "Leave NetRead, BUS Protocol error, cbPDV <= 0"},
        FrameCase{"StreamedPDVShort", [] { return Streamed({Bytes(20, 0x5A)}); }, "",
                  "Leave NetRead, BUS Protocol error, cbPDV < sizeof (MessagePDV)"},
        FrameCase{"StreamedPDVWithTailMagic", [] { return Streamed({PDVWithMagic(TailMagic)}); },
                  "wrong PDV magic 0xaa55", "Leave NetRead, BUS Protocol error! PDV.Is ())"},
        FrameCase{"StreamedChunkBeyondABlock",
                  [] { return Streamed({PDVBytes(0x80000000u, false)}); },
                  "streamed BLOB of 2147483648 bytes over the limit of 2147483647",
                  "Leave NetRead, BUS Protocol error! Too much PDV", false,
                  "Leave NetRead, BUS Protocol error, cbPDV <= 0"},
        // The body's 10 bytes count too: 10 + 60 + 40 passes a limit of 100.
        FrameCase{"StreamedPastTheLimit",
                  [] { return Frame().Body("0123456789").Chunks(Pieces({60, 40}), true).Build(); },
                  "streamed BLOB of 100 bytes over the limit of 100",
                  "Leave NetRead, BUS Protocol error! Too much PDV", false, "", 0, 100},
        FrameCase{"StreamedFirstPDVCloses", [] { return Frame().Chunks({}, true).Build(); }, "",
                  "Leave ReadBLOBUnknownSize, Total : 0", true},
        FrameCase{"StreamedChunks",
                  [] { return Frame().Chunks(Pieces({0, 3, 70000, 1}), true).Build(); }, "",
                  "Leave ReadBLOBUnknownSize, Total : 70004", true, nullptr, 70004},
        FrameCase{"StreamedOneChunk", [] { return Frame().Chunks(Pieces({5000}), true).Build(); },
                  "", "Leave ReadBLOBUnknownSize, Total : 5000", true, nullptr, 5000}),
    [](const ::testing::TestParamInfo<FrameCase>& caseInfo) { return caseInfo.param.Name; });

TEST(FrameCodecPushTest, EveryReadBoundaryGivesTheSameFramesAndAListenHeadTravelsAlone) {
    MessageHead listen(HeadType::Listen);
    const std::vector<Bytes> chunks = Pieces({128, 128, 44});
    const Bytes blob = Concat(chunks);
    const Bytes input = Concat({
        Frame().Body("hello").Chunks(chunks, false).Build(),
        HeadBytes(listen),
        FrameBuilder(MessageHead(HeadType::Enquiry)).Build(),
        Frame().Chunks({}, true).Build(),
    });
    for (size_t piece = 1; piece <= input.size(); piece = piece < 40 ? piece + 1 : piece * 2) {
        SCOPED_TRACE(piece);
        const Pushed pushed = Push(input, piece, 1 << 20);
        ASSERT_EQ(pushed.error, "");
        EXPECT_EQ(pushed.frames, 4);
        EXPECT_EQ(pushed.bytes, input);
        EXPECT_EQ(pushed.body, "hello");
        EXPECT_EQ(pushed.data, blob);
    }
    const std::vector<Part> expected = {
        Part::Head, Part::Body, Part::PDV,  Part::Data, Part::PDV,  Part::Data,
        Part::PDV,  Part::Data, Part::PDV,  Part::Tail, Part::Head, Part::Head,
        Part::Tail, Part::Head, Part::PDV,  Part::Tail};
    EXPECT_EQ(Push(input, input.size(), 1 << 20).parts, expected);
}
