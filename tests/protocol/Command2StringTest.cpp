#include "tessary/protocol/internal/Command2String.h"

#include "tessary/client/Client.h"
#include "tessary/external/internal/LogCapture.h"
#include "tests/support/SetupFixture.h"

#include <gtest/gtest.h>

#include <string>

using ORVEX::Log::LogCapture;
using ORVEX::Tessary::Controller::Client;

namespace {

struct Label {
    int Code;
    const char* Name;
};

class RangeLabelTest : public ::testing::TestWithParam<Label> {
protected:
    void SetUp() override { Command2String::Clear(); }
};

TEST_P(RangeLabelTest, UnknownCodesGetTheirRangeLabel) {
    EXPECT_EQ(Command2String::Lookup(GetParam().Code), GetParam().Name);
    EXPECT_EQ(Client::Command2String(GetParam().Code), GetParam().Name);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, RangeLabelTest,
                         ::testing::Values(Label{5099, ""}, Label{5100, "SubTask"},
                                           Label{5999, "SubTask"}, Label{6000, "BUSSetting"},
                                           Label{6090, "BUSSetting"}, Label{6499, "BUSSetting"},
                                           Label{6500, "BUSConfig"}, Label{6999, "BUSConfig"},
                                           Label{7000, ""}, Label{9999, ""},
                                           Label{10000, "Trelw.App"}, Label{10999, "Trelw.App"},
                                           Label{11000, ""}, Label{24999, ""},
                                           Label{25000, "for Testing"}, Label{25999, "for Testing"},
                                           Label{26000, ""}, Label{0, ""}, Label{-6000, ""}));

// Names files in a scratch directory; the table is emptied around each case.
class Command2StringTest : public SetupFixture {
protected:
    void SetUp() override {
        SetupFixture::SetUp();
        Command2String::Clear();
    }
    void TearDown() override {
        Command2String::Clear();
        SetupFixture::TearDown();
    }

    WString WriteNames(const std::string& name, const std::string& json) {
        return WString(Write(name, json).c_str());
    }
};

// Array elements and object members are entries; the attribute key is skipped.
TEST_F(Command2StringTest, LoadSortsTheEntriesAndEveryCodeIsFoundEvenZero) {
    LogCapture capture;
    const WString path = WriteNames("names.json", R"({"Command2String": [
        {"Command": "300", "String": "Three"},
        {"Command": 100, "String": "One"},
        {"Command": "200", "String": "Two"}]})");
    EXPECT_EQ(Command2String::Load(path), 3);
    EXPECT_EQ(Command2String::Count(), 3);
    for (const auto& [code, name] : std::vector<std::pair<int, const char*>>{
             {100, "One"}, {200, "Two"}, {300, "Three"}, {150, ""}, {99, ""}, {301, ""}}) {
        EXPECT_EQ(Command2String::Lookup(code), name) << code;
    }
    EXPECT_TRUE(capture.Has("Enter Command2String::Load [" + (dir / "names.json").string() + "]"));
    EXPECT_TRUE(capture.Has("Leave Command2String::Load, NbOfItem : 3"));

    EXPECT_EQ(Command2String::Load(WriteNames("object.json", R"({"Command2String": {
        "first": {"Command": "6001", "String": "TcpTuning"},
        "<xmlattr>": {"Command": "1", "String": "attribute"},
        "second": {"Command": "42", "String": "Answer"}}})")),
              2);
    EXPECT_EQ(Command2String::Lookup(42), "Answer");
    EXPECT_EQ(Command2String::Lookup(1), "");
    // A name from the file wins over its range; the range's other codes keep the label.
    EXPECT_EQ(Command2String::Lookup(6001), "TcpTuning");
    EXPECT_EQ(Command2String::Lookup(6002), "BUSSetting");
    // A command that is not a number reads as zero.
    EXPECT_EQ(Command2String::Load(WriteNames("odd.json", R"({"Command2String": [
        {"Command": "abc", "String": "Letters"}, {"String": "NoCode"}]})")),
              2);
    const DString zero = Command2String::Lookup(0);
    EXPECT_TRUE(zero == "Letters" || zero == "NoCode") << zero.c_str();
    // An element with nothing in it is an entry too, not the end of the list.
    EXPECT_EQ(Command2String::Load(WriteNames("holes.json", R"({"Command2String": [
        {"Command": 1, "String": "One"}, {}, null, {"Command": 4, "String": "Four"}]})")),
              4);
    EXPECT_EQ(Command2String::Lookup(4), "Four");
}

// A load replaces the whole table, so one without entries leaves it empty.
TEST_F(Command2StringTest, FilesWithoutEntriesEmptyTheTable) {
    const WString full =
        WriteNames("one.json", R"({"Command2String": [{"Command": 9, "String": "i"}]})");
    for (const WString& empty :
         {WriteNames("empty.json", R"({"Command2String": []})"),
          WriteNames("other.json", R"({"Names": 1})"), WriteNames("broken.json", "{not json"),
          WString((dir / "missing.json").string().c_str())}) {
        ASSERT_EQ(Command2String::Load(full), 1);
        EXPECT_EQ(Command2String::Load(empty), 0) << empty.ToDString().c_str();
        EXPECT_EQ(Command2String::Count(), 0);
        EXPECT_EQ(Command2String::Lookup(9), "");
    }
}

} // namespace
