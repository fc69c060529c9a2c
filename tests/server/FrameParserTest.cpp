#include "server/internal/FrameParser.h"
#include "tests/support/RawClient.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using busd::FrameParser;
using rawframes::Encode;
using rawframes::Head;

namespace {

struct Parsed {
    std::vector<FrameParser::Part> parts;
    std::string bytes; // every segment's bytes, concatenated
    std::string body;
    std::string data;
    int frames = 0;
    bool error = false;
    std::string errorText;
};

// Feeds input in pieces of at most piece bytes, as reads would deliver it.
Parsed Parse(const std::string& input, size_t piece, int64_t maxFrame = 1 << 20) {
    FrameParser parser(maxFrame);
    Parsed out;
    for (size_t at = 0; at < input.size() && !out.error;) {
        const size_t end = std::min(input.size(), at + piece);
        while (at < end) {
            size_t consumed = 0;
            const auto step = parser.Next(input.data() + at, end - at, consumed);
            at += consumed;
            if (step.status == FrameParser::Status::Error) {
                out.error = true;
                out.errorText = parser.ErrorText();
                break;
            }
            if (step.status == FrameParser::Status::Segment) {
                out.parts.push_back(step.part);
                out.bytes.append(step.data, step.size);
                if (step.part == FrameParser::Part::Body) {
                    out.body.append(step.data, step.size);
                } else if (step.part == FrameParser::Part::Data) {
                    out.data.append(step.data, step.size);
                }
                out.frames += step.frameEnd ? 1 : 0;
            }
        }
    }
    return out;
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('a' + i % 23);
    }
    return s;
}

} // namespace

TEST(FrameParserTest, EveryReadBoundaryGivesTheSameFrames) {
    const std::string blob = Pattern(300);
    const std::string input =
        Encode(Head(HeadType::Message, "a", "b", 5), "hello", blob, 128) +
        rawframes::Bytes(Head(HeadType::Listen, "r", "")) +
        Encode(Head(HeadType::Enquiry, "a", "b")) +
        Encode(Head(HeadType::Message, "a", "", 9), "", std::string(), 64 * 1024, true);
    for (size_t piece = 1; piece <= input.size(); piece = piece < 40 ? piece + 1 : piece * 2) {
        SCOPED_TRACE(piece);
        const Parsed parsed = Parse(input, piece);
        ASSERT_FALSE(parsed.error) << parsed.errorText;
        EXPECT_EQ(parsed.frames, 4);
        // Segments cover the input exactly: nothing lost, nothing repeated.
        EXPECT_EQ(parsed.bytes, input);
        EXPECT_EQ(parsed.body, "hello");
        EXPECT_EQ(parsed.data, blob);
    }
    using P = FrameParser::Part;
    const std::vector<P> expected = {P::Head, P::Body, P::PDV, P::Data, P::PDV, P::Data, P::PDV,
                                     P::Data, P::PDV,  P::Tail, P::Head, P::Head, P::Tail,
                                     P::Head, P::PDV,  P::Tail};
    EXPECT_EQ(Parse(input, input.size()).parts, expected);
}

TEST(FrameParserTest, KnownSizeBlobMayEndEarly) {
    MessageHead head = Head(HeadType::Message, "a", "b");
    head.cbBLOB = 100;
    const std::string input = rawframes::Bytes(head) + rawframes::PdvBytes(60) + Pattern(60) +
                              rawframes::PdvBytes(0, true) + rawframes::TailBytes();
    const Parsed parsed = Parse(input, input.size());
    EXPECT_FALSE(parsed.error) << parsed.errorText;
    EXPECT_EQ(parsed.frames, 1);
}

struct BadInput {
    const char* name;
    std::string bytes;
    const char* reason;
};

class FrameParserBadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(FrameParserBadInput, IsRejectedWithItsReason) {
    const Parsed parsed = Parse(GetParam().bytes, 7, 1024);
    EXPECT_TRUE(parsed.error);
    EXPECT_EQ(parsed.errorText, GetParam().reason);
}

namespace {

std::string WithHead(void (*edit)(MessageHead&)) {
    MessageHead head = Head(HeadType::Message, "a", "b");
    edit(head);
    return rawframes::Bytes(head);
}

std::string Overrun() {
    MessageHead head = Head(HeadType::Message, "a", "b");
    head.cbBLOB = 100;
    return rawframes::Bytes(head) + rawframes::PdvBytes(60) + Pattern(60) +
           rawframes::PdvBytes(41);
}

std::string StreamedTooLong() {
    MessageHead head = Head(HeadType::Message, "a", "b");
    head.cbBLOB = UnknownBLOBSize;
    return rawframes::Bytes(head) + rawframes::PdvBytes(1000) + Pattern(1000) +
           rawframes::PdvBytes(25);
}

std::string BadPdv() {
    MessageHead head = Head(HeadType::Message, "a", "b");
    head.cbBLOB = 10;
    std::string pdv = rawframes::PdvBytes(10);
    pdv[0] = 0x12;
    return rawframes::Bytes(head) + pdv;
}

std::string BadTail() {
    std::string bytes = Encode(Head(HeadType::Enquiry, "a", "b"));
    bytes[88] = 0x5A;
    bytes[89] = static_cast<char>(0xA5);
    return bytes;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameParserBadInput,
    ::testing::Values(
        BadInput{"Magic", WithHead([](MessageHead& h) { h.Magic = 0x1234; }),
                 "wrong head magic 0x1234"},
        BadInput{"Size", WithHead([](MessageHead& h) { h.Size = 92; }), "wrong head size 92"},
        BadInput{"Version", WithHead([](MessageHead& h) { h.Version = 0x511; }),
                 "unsupported version 0x511"},
        BadInput{"NegativeBody", WithHead([](MessageHead& h) { h.cbMessage = -1; }),
                 "negative body length -1"},
        BadInput{"NegativeBlob", WithHead([](MessageHead& h) { h.cbBLOB = -5; }),
                 "negative BLOB length -5"},
        BadInput{"BodyOverLimit", WithHead([](MessageHead& h) { h.cbMessage = 1025; }),
                 "frame of 1025 bytes over the limit of 1024"},
        BadInput{"BodyAndBlobOverLimit",
                 WithHead([](MessageHead& h) {
                     h.cbMessage = 1000;
                     h.cbBLOB = 25;
                 }),
                 "frame of 1025 bytes over the limit of 1024"},
        BadInput{"PdvOverrunsBlob", Overrun(), "PDV chain of 101 bytes overruns cbBLOB 100"},
        BadInput{"StreamedOverLimit", StreamedTooLong(),
                 "streamed BLOB of 1025 bytes over the limit of 1024"},
        BadInput{"PdvMagic", BadPdv(), "wrong PDV magic 0xa512"},
        BadInput{"TailMagic", BadTail(), "wrong tail magic 0xa55a"},
        BadInput{"Garbage", std::string(200, 'x'), "wrong head magic 0x78787878"}),
    [](const auto& param) { return std::string(param.param.name); });
