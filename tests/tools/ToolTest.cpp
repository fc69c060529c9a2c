#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST_F(ToolTest, AbsentTargetsAreOfflineAndRefused) {
    ToolProcess uid(With({"uid", "somebody"}));
    EXPECT_EQ(uid.Wait(), 0) << uid.Stderr();
    EXPECT_FALSE(uid.Stdout().empty());
    ToolProcess offline(With({"online", "nobody"}));
    EXPECT_EQ(offline.Wait(), 1);
    EXPECT_EQ(offline.Stdout(), "nobody is offline\n");

    // The bus refuses a post to nobody with its failure reply; a file send that cannot start
    // names its cause.
    ScratchDir dir;
    WriteBytes(dir.File("in.bin"), "abc");
    const std::string refused = "nobody is not registered on the bus (error -20: Failed when "
                                "ReadReply (from BUS Server))\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"post", "nobody", "9", "lost"}, "tessary post: " + refused},
        {{"send", "nobody", "7", "--file", dir.File("in.bin")}, "tessary send: " + refused},
        {{"send", "rx", "7", "--file", dir.File("missing.bin")},
         "tessary send: cannot open " + dir.File("missing.bin") + ": No such file"},
        {{"post", "rx", "7", "--file", dir.Path(), "--stream"},
         "tessary post: cannot send " + dir.Path() + ": it is a directory"},
    };
    for (const auto& [arguments, error] : cases) {
        ToolProcess tool(With(arguments));
        EXPECT_EQ(tool.Wait(), 1) << error;
        EXPECT_TRUE(Has(tool.Stderr(), error)) << tool.Stderr();
    }
}

// Without a bus: the socket error, and status 1. The other refused connects are the library's.
TEST(ToolUsageTest, CommandLinesGetTheirStatusAndText) {
    const std::string closed = std::to_string(LoopbackPeer::ClosedPort());
    const std::vector<std::string> noBus = {"--command-port", closed, "--status-port", closed,
                                            "--servers", "1"};
    const std::string refused = ": no bus server at 127.0.0.1:" + closed +
                                " (error -1, 10061: Connection Refused)\n";
    struct Case {
        std::vector<std::string> Arguments;
        int Status;
        std::string Stderr = "";
    };
    std::vector<Case> cases = {
        {{"send", "rx", "1", "x", "--timeout", "1000"}, 1, refused},
        {{"online", "rx"}, 1, refused},
        {{}, 2},
        {{"send", "rx"}, 2},
        {{"send", "rx", "not-a-number"}, 2},
        {{"online", "--servers", "0", "rx"}, 2},
        // Options that only make sense with a file.
        {{"send", "rx", "7", "--stream"}, 2},
        {{"send", "rx", "7", "--reply-blob=x"}, 2},
        // Sizes the bench cannot send.
        {{"bench", "--size", "1.5M"}, 2},
        {{"bench", "--size", "2G"}, 2},
        {{"bench", "--mode", "blob", "--size", "0"}, 2},
        {{"bench", "--mode", "stream"}, 2},
        {{"bench", "--clients", "0"}, 2},
    };
    cases[0].Arguments.insert(cases[0].Arguments.end(), noBus.begin(), noBus.end());
    cases[1].Arguments.insert(cases[1].Arguments.end(), noBus.begin(), noBus.end());
    for (const char* command :
         {"server", "send", "post", "forward", "listen", "online", "uid", "stats", "demo", "bench"}) {
        cases.push_back({{command, "--help"}, 0});
    }
    for (const Case& c : cases) {
        ToolProcess tool(c.Arguments);
        const std::string line = ::testing::PrintToString(c.Arguments);
        EXPECT_EQ(tool.Wait(), c.Status) << line;
        EXPECT_TRUE(Has(tool.Stderr(), c.Stderr)) << line << ": " << tool.Stderr();
        EXPECT_TRUE(c.Status != 0 || Has(tool.Stdout(), "Usage:")) << line;
    }
}

} // namespace
