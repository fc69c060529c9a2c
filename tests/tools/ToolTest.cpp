#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST_F(ToolTest, AbsentTargetsAreOfflineAndRefused) {
    // The bus refuses a post to nobody with its failure reply.
    ToolProcess lost(With({"post", "nobody", "9", "lost"}));
    EXPECT_EQ(lost.Wait(), 1);
    EXPECT_EQ(lost.Stderr(), "tessary post: nobody is not registered on the bus (error -20: "
                             "Failed when ReadReply (from BUS Server))\n");

    ToolProcess offline(With({"online", "nobody"}));
    EXPECT_EQ(offline.Wait(), 1);
    EXPECT_EQ(offline.Stdout(), "nobody is offline\n");

    ToolProcess uid(With({"uid", "somebody"}));
    EXPECT_EQ(uid.Wait(), 0) << uid.Stderr();
    EXPECT_FALSE(uid.Stdout().empty());

    // A file send that cannot start names its cause.
    ScratchDir dir;
    WriteBytes(dir.File("in.bin"), "abc");
    const std::pair<std::vector<std::string>, std::string> files[] = {
        {{"send", "rx", "7", "--file", dir.File("missing.bin")},
         "tessary send: cannot open " + dir.File("missing.bin") + ": No such file"},
        {{"post", "rx", "7", "--file", dir.Path(), "--stream"},
         "tessary post: cannot send " + dir.Path() + ": it is a directory"},
        {{"send", "nobody", "7", "--file", dir.File("in.bin")},
         "tessary send: nobody is not registered on the bus (error -20: Failed when ReadReply "
         "(from BUS Server))"},
    };
    for (const auto& [arguments, error] : files) {
        ToolProcess tool(With(arguments));
        EXPECT_EQ(tool.Wait(), 1) << error;
        EXPECT_NE(tool.Stderr().find(error), std::string::npos) << tool.Stderr();
    }
}

class BusDownTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BusDownTest, FailsWithTheSocketErrorAndStatus1) {
    std::vector<std::string> arguments = GetParam();
    const std::string closed = std::to_string(LoopbackPeer::ClosedPort());
    for (const char* flag : {"--command-port", "--status-port"}) {
        arguments.push_back(flag);
        arguments.push_back(closed);
    }
    arguments.push_back("--servers");
    arguments.push_back("1");
    ToolProcess tool(arguments);
    EXPECT_EQ(tool.Wait(), 1);
    EXPECT_NE(tool.Stderr().find(": no bus server at 127.0.0.1:" + closed +
                                 " (error -1, 10061: Connection Refused)\n"),
              std::string::npos)
        << tool.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Operations, BusDownTest,
                         ::testing::Values(std::vector<std::string>{"send", "rx", "1", "x",
                                                                    "--timeout", "1000"},
                                           std::vector<std::string>{"post", "rx", "1", "x"},
                                           std::vector<std::string>{"forward", "rx", "1", "x"},
                                           std::vector<std::string>{"online", "rx"},
                                           std::vector<std::string>{"uid", "rx"}));

class HelpTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HelpTest, EverySubcommandExplainsItself) {
    ToolProcess help({GetParam(), "--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.Stdout().find("Usage:"), std::string::npos) << help.Stdout();
}

INSTANTIATE_TEST_SUITE_P(Subcommands, HelpTest,
                         ::testing::Values("server", "send", "post", "forward", "listen", "online",
                                           "uid", "stats", "demo"));

TEST(ToolUsageTest, BadCommandLinesExitWith2) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"send", "rx"},
          std::vector<std::string>{"send", "rx", "not-a-number"},
          std::vector<std::string>{"online", "--servers", "0", "rx"},
          // Options that only make sense with a file.
          std::vector<std::string>{"send", "rx", "7", "--stream"},
          std::vector<std::string>{"send", "rx", "7", "--reply-blob=x"}}) {
        ToolProcess tool(arguments);
        EXPECT_EQ(tool.Wait(), 2) << arguments.size();
    }
}

} // namespace
