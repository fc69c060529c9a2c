#include "tessary/protocol/internal/FastJsonEncoder.h"

#include <gtest/gtest.h>

#include <string>

// The one-pair bodies (TcpNoDelay, escaped settings) are checked on the wire by the session
// and client tests; what only shows here is how several pairs and null texts are joined.
TEST(FastJsonEncoderTest, EntriesKeepTheirOrderWithCommasAndNullTextsAreEmpty) {
    FastJsonEncoder<DString> encoder;
    encoder.Add("b", -7);
    encoder.Add("a", "x");
    encoder.Add(nullptr, static_cast<const char*>(nullptr));
    EXPECT_EQ(encoder.Encode().str(),
              std::string("{\r\n  \"b\" : -7,\r\n  \"a\" : \"x\",\r\n  \"\" : \"\"\r\n}"));
}
