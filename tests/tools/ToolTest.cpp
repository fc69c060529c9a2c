#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

namespace {

// Each command line's exit status, and a part of what it prints on each stream: against the
// test's bus and a listener on it, against a port where nothing listens, or with no bus at all.
TEST_F(ToolTest, CommandLinesGetTheirStatusAndText) {
    const std::string closed = std::to_string(LoopbackPeer::ClosedPort());
    auto noBus = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.end(),
                         {"--command-port", closed, "--status-port", closed, "--servers", "1"});
        return arguments;
    };
    const std::string noServer = ": no bus server at 127.0.0.1:" + closed +
                                 " (error -1, 10061: Connection Refused)\n";
    // The bus refuses a post to nobody with its failure reply; a file send that cannot start
    // names its cause.
    const std::string refused = "nobody is not registered on the bus (error -20: Failed when "
                                "ReadReply (from BUS Server))\n";
    ScratchDir dir;
    WriteBytes(dir.File("in.bin"), PatternText(70000, 3));
    // A listener that refuses everything with its error code, until it is interrupted.
    ToolProcess listen(With({"listen", "rx", "--error", "9", "--reply", "not today"}));
    ASSERT_TRUE(listen.WaitForOutput("listening as rx on 2 bus servers")) << listen.Stderr();
    const std::string no = "tessary send: error acknowledgement 9 from rx: not today\n";
    struct Case {
        std::vector<std::string> Arguments;
        int Status;
        std::string Stderr = "";
        std::string Stdout = "";
    };
    std::vector<Case> cases = {
        {With({"uid", "somebody"}), 0, "", "somebody"},
        {With({"online", "nobody"}), 1, "", "nobody is offline\n"},
        {With({"online", "rx"}), 0},
        {With({"send", "rx", "5", "x"}), 1, no},
        {With({"send", "rx", "5", "--file", dir.File("in.bin")}), 1, no},
        {With({"send", "rx", "5", "--file", dir.File("in.bin"), "--stream"}), 1, no},
        {With({"post", "nobody", "9", "lost"}), 1, "tessary post: " + refused},
        {With({"send", "nobody", "7", "--file", dir.File("in.bin")}), 1,
         "tessary send: " + refused},
        {With({"send", "rx", "7", "--file", dir.File("missing.bin")}), 1,
         "tessary send: cannot open " + dir.File("missing.bin") + ": No such file"},
        {With({"post", "rx", "7", "--file", dir.Path(), "--stream"}), 1,
         "tessary post: cannot send " + dir.Path() + ": it is a directory"},
        // The other refused connects are the library's.
        {noBus({"send", "rx", "1", "x", "--timeout", "1000"}), 1, noServer},
        {noBus({"online", "rx"}), 1, noServer},
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
        {{"bench", "--mode", "flood"}, 2},
        {{"bench", "--clients", "0"}, 2},
    };
    for (const char* command :
         {"server", "send", "post", "forward", "listen", "online", "uid", "stats", "demo", "bench"}) {
        cases.push_back({{command, "--help"}, 0, "", "Usage:"});
    }
    for (const Case& c : cases) {
        ToolProcess tool(c.Arguments);
        const std::string line = ::testing::PrintToString(c.Arguments);
        EXPECT_EQ(tool.Wait(), c.Status) << line;
        EXPECT_TRUE(Has(tool.Stderr(), c.Stderr)) << line << ": " << tool.Stderr();
        EXPECT_TRUE(Has(tool.Stdout(), c.Stdout)) << line << ": " << tool.Stdout();
    }
    listen.Signal(SIGINT);
    EXPECT_EQ(listen.Wait(), 0) << listen.Stderr();
    EXPECT_TRUE(Has(listen.Stdout(), "message 5 from tessary-cli: x\n")) << listen.Stdout();
    EXPECT_TRUE(Has(listen.Stdout(), "stopped after 3 messages and BLOBs\n")) << listen.Stdout();
    // Gone from the bus with it; each try starts the tool, which under ThreadSanitizer on a
    // loaded machine takes seconds.
    EXPECT_TRUE(Eventually([&] {
        ToolProcess offline(With({"online", "rx"}));
        return offline.Wait() == 1;
    }, std::chrono::seconds(15)));
}

} // namespace
