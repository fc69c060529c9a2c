#include "tessary/external/BSTJSON.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

using ORVEX::Utility::BSTJSON;
using ORVEX::Utility::BSTTree;

namespace {

class BSTJSONTest : public ::testing::Test {
protected:
    std::string Write(const std::string& text) {
        std::ofstream(m_Path) << text;
        return m_Path;
    }
    void TearDown() override { std::remove(m_Path.c_str()); }

    std::vector<std::pair<std::string, std::string>> Entries(const BSTTree& tree) {
        std::vector<std::pair<std::string, std::string>> entries;
        auto it = tree.Into("Command2String").GetIterator();
        for (auto child = it.Next(); !child.second.IsEmpty(); child = it.Next()) {
            if (child.first == BSTTree::XMLATTR) {
                continue;
            }
            entries.emplace_back(child.second.Get("Command").str(),
                                 child.second.Get<DString>("String").str());
        }
        return entries;
    }

    std::string m_Path = "/tmp/tessary-bstjson-" + std::to_string(getpid()) + ".json";
};

} // namespace

TEST_F(BSTJSONTest, ArrayAndObjectChildrenReadAlike) {
    const auto fromArray = Entries(BSTJSON::LoadFile(
        Write(R"({"Command2String":[{"Command":"300","String":"c"},{"Command":100,"String":"a"}]})")
            .c_str()));
    const auto fromObject = Entries(BSTJSON::LoadFile(WString(DString(
        Write(R"({"Command2String":{"x":{"Command":"300","String":"c"},"<xmlattr>":{"Command":"9"},"y":{"Command":100,"String":"a"}}})")
            .c_str()))));
    const std::vector<std::pair<std::string, std::string>> expected{{"300", "c"}, {"100", "a"}};
    EXPECT_EQ(fromArray, expected);
    EXPECT_EQ(fromObject, expected);
}

TEST_F(BSTJSONTest, MissingOrBrokenFilesGiveEmptyTrees) {
    EXPECT_TRUE(BSTJSON::LoadFile("/nonexistent/file.json").IsEmpty());
    EXPECT_TRUE(BSTJSON::LoadFile(Write("{not json").c_str()).IsEmpty());
    const BSTTree tree = BSTJSON::LoadFile(Write(R"({"Command2String":[]})").c_str());
    EXPECT_FALSE(tree.IsEmpty());
    EXPECT_TRUE(tree.Into("Command2String").IsEmpty());
    EXPECT_TRUE(tree.Into("missing").Into("deeper").IsEmpty());
    EXPECT_EQ(tree.Get("missing"), "");
}
