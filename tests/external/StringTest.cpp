#include "tessary/external/DString.h"
#include "tessary/external/WString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// The system text a failed call's line carries is the setup case's (its registry line).
TEST(DStringTest, AppendsFormatsAndWritesThroughItsBuffer) {
    DString text("ab");
    text.Append('c').Append("de") << DString("f") << 12;
    text += 'g';
    EXPECT_EQ(text, "abcdef12g");
    EXPECT_EQ(text.GetLength(), 9);
    EXPECT_EQ("x" + DString("y") + 'z', "xyz");
    EXPECT_STREQ(static_cast<const char*>(DString(static_cast<const char*>(nullptr))), "");
    text.Format("%d-%s", 7, "x");
    text.AppendFormat("/%04d", 42);
    EXPECT_EQ(text, "7-x/0042");
    // Past the local buffer.
    const std::string longPiece(1000, 'z');
    EXPECT_EQ(DString::FromFormat("%s!", longPiece.c_str()).str(), longPiece + "!");
    EXPECT_EQ(DString::From(4000000000UL), "4000000000");
    EXPECT_EQ(DString("123abc").To<int>(), 123);
    EXPECT_EQ(DString("abc").To<int>(), 0);
    char* buffer = text.GetBuffer(10);
    std::memcpy(buffer + 8, "ab", 2);
    text.ReleaseBuffer(10);
    EXPECT_EQ(text, "7-x/0042ab");
    text.GetBufferSetLength(3)[2] = 'Z';
    EXPECT_EQ(text, "7-Z");
}

TEST(WStringTest, ConvertsNonAsciiBothWays) {
    const DString utf8("h\xC3\xA9llo \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80");
    WString wide(utf8);
    // é and the two CJK characters are one unit each, the emoji a surrogate pair.
    EXPECT_EQ(wide.GetLength(), 11);
    EXPECT_EQ(wide.str()[1], u'\u00E9');
    EXPECT_EQ(wide.ToDString(), utf8);
    WString assigned;
    assigned = utf8;
    EXPECT_EQ(assigned, wide);
    assigned += DString("!");
    EXPECT_EQ(assigned.GetLength(), 12);
}

TEST(WStringTest, BadInputNeverThrows) {
    WString broken(DString("a\xFF" "b"));
    EXPECT_EQ(broken.GetLength(), 3);
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(WString(lone).ToDString(), "a\xEF\xBF\xBD" "b");
    char16_t* buffer = broken.GetBufferSetLength(2);
    buffer[0] = u'x';
    EXPECT_EQ(broken.GetLength(), 2);
    EXPECT_EQ(broken.str()[0], u'x');
}
