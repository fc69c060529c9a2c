#include "tessary/protocol/FastJsonEncoder.h"

#include <gtest/gtest.h>

#include <string>

TEST(FastJsonEncoderTest, EmptyObjectIsBraceLineBreakBrace) {
    FastJsonEncoder<DString> encoder;
    EXPECT_EQ(encoder.Encode().str(), std::string("{\r\n}"));
}

TEST(FastJsonEncoderTest, TcpNoDelaySettingIsTheExact24Bytes) {
    FastJsonEncoder<DString> encoder;
    encoder.Add("TcpNoDelay", 1);
    const std::string expected = "{\r\n  \"TcpNoDelay\" : 1\r\n}";
    ASSERT_EQ(expected.size(), 24u);
    EXPECT_EQ(encoder.Encode().str(), expected);
}

TEST(FastJsonEncoderTest, EntriesKeepTheirOrderWithCommasBetween) {
    FastJsonEncoder<DString> encoder;
    encoder.Add("b", -7);
    encoder.Add("a", "x");
    encoder.Add("c", 0);
    EXPECT_EQ(encoder.Encode().str(),
              std::string("{\r\n  \"b\" : -7,\r\n  \"a\" : \"x\",\r\n  \"c\" : 0\r\n}"));
}

TEST(FastJsonEncoderTest, TextValueIsEscapedAndKeyIsNot) {
    FastJsonEncoder<DString> encoder;
    encoder.Add("k\"ey", "a\"b\\c/d\be\ff\ng\rh\ti\x01j\xC3\xA9");
    EXPECT_EQ(encoder.Encode().str(),
              std::string("{\r\n  \"k\"ey\" : \"a\\\"b\\\\c\\/d\\be\\ff\\ng\\rh\\ti\x01j\xC3\xA9\"\r\n}"));
}

TEST(FastJsonEncoderTest, NullTextsGiveEmptyStrings) {
    FastJsonEncoder<DString> encoder;
    encoder.Add(nullptr, static_cast<const char*>(nullptr));
    EXPECT_EQ(encoder.Encode().str(), std::string("{\r\n  \"\" : \"\"\r\n}"));
}
