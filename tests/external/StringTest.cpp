#include "tessary/external/DString.h"
#include "tessary/external/WString.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

TEST(DStringTest, AppendsAndConcatenatesInEveryCombination) {
    DString text("ab");
    text.Append('c').Append("de") << DString("f") << 12;
    text += 'g';
    EXPECT_EQ(text, "abcdef12g");
    EXPECT_EQ(text.GetLength(), 9);
    EXPECT_EQ(DString("x") + DString("y"), "xy");
    EXPECT_EQ(DString("x") + "y", "xy");
    EXPECT_EQ("x" + DString("y"), "xy");
    EXPECT_EQ(DString("x") + 'y', "xy");
    DString nullText(static_cast<const char*>(nullptr));
    EXPECT_EQ(nullText.GetLength(), 0);
    EXPECT_STREQ(static_cast<const char*>(nullText), "");
}

TEST(DStringTest, FormatsReplaceAppendAndGrowPastTheLocalBuffer) {
    DString text("old");
    text.Format("%d-%s", 7, "x");
    EXPECT_EQ(text, "7-x");
    text.AppendFormat("/%04d", 42);
    EXPECT_EQ(text, "7-x/0042");
    const std::string longPiece(1000, 'z');
    EXPECT_EQ(DString::FromFormat("%s!", longPiece.c_str()).GetLength(), 1001);
    EXPECT_EQ(DString::From(-12), "-12");
    EXPECT_EQ(DString::From(4000000000UL), "4000000000");
    EXPECT_EQ(DString("123abc").To<int>(), 123);
    EXPECT_EQ(DString("abc").To<int>(), 0);
}

TEST(DStringTest, FormatMsgAppendsTheSystemText) {
    DString text;
    text.FormatMsg(ENOENT, "RegOpenKeyEx failed");
    EXPECT_EQ(text.str(), std::string("RegOpenKeyEx failed : ") + std::strerror(ENOENT) + " (2)");
}

TEST(DStringTest, RawBufferAccessKeepsWrittenBytes) {
    DString text("ab");
    char* buffer = text.GetBuffer(10);
    std::memcpy(buffer + 2, "cdef", 4);
    text.ReleaseBuffer(6);
    EXPECT_EQ(text, "abcdef");
    char* exact = text.GetBufferSetLength(3);
    exact[2] = 'Z';
    EXPECT_EQ(text, "abZ");
    text.Empty();
    EXPECT_TRUE(text.IsEmpty());
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
