#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The listener is ready once every bus server has it registered: it says so in one line.
constexpr const char* Ready = "listening as rx on 2 bus servers";

TEST_F(ToolTest, ListenPrintsWhatArrivesAnswersItAndSavesBLOBs) {
    ScratchDir dir;
    const std::string bytes = PatternText((3 << 20) + 5, 2);
    WriteBytes(dir.File("in.bin"), bytes);
    const std::string saved = dir.Path() + "/saved";
    ASSERT_EQ(mkdir(saved.c_str(), 0755), 0);

    // With the library's log shown: a healthy exchange and stop have nothing to warn about.
    ToolProcess listen(With({"listen", "rx", "--count", "7", "--reply", "fine", "--save", saved,
                             "--echo-blob", "--subscribe", "77", "-v"}));
    ASSERT_TRUE(listen.WaitForOutput(Ready)) << listen.Stdout() << listen.Stderr();

    // Runs the tool against the bus and returns what it printed, expecting status.
    auto run = [&](std::vector<std::string> arguments, int status = 0) {
        ToolProcess tool(With(std::move(arguments)));
        EXPECT_EQ(tool.Wait(), status) << tool.Stderr();
        return tool.Stdout() + tool.Stderr();
    };
    EXPECT_EQ(run({"send", "rx", "42", "hello\nthere", "-v"}), "fine\n");
    EXPECT_EQ(run({"send", "rx", "43", "gr\u00fc\u00dfe", "--wide"}), "fine\n");
    const std::string echoed = dir.File("echo.bin");
    run({"send", "rx", "7", "--file", dir.File("in.bin"), "--reply-blob", echoed});
    EXPECT_EQ(ReadBytes(echoed), bytes) << "the echoed BLOB differs";
    run({"post", "rx", "7", "caption", "--file", dir.File("in.bin"), "--stream"});
    // A post to nobody reaches the subscribers of its command.
    run({"post", "", "77", "to all"});
    const std::string streamed = dir.File("streamed.bin");
    EXPECT_EQ(run({"send", "rx", "7", "the file", "--file", dir.File("in.bin"), "--reply-blob",
                   streamed, "--stream", "--wide"}),
              "fine\nreply BLOB: " + std::to_string(bytes.size()) + " bytes saved to " + streamed +
                  "\n");
    EXPECT_EQ(ReadBytes(streamed), bytes) << "the echoed streamed BLOB differs";
    // An empty file is an empty BLOB; a reply BLOB that cannot be kept fails the send after it.
    WriteBytes(dir.File("empty.bin"), "");
    const std::string kept = run({"send", "rx", "7", "--file", dir.File("empty.bin"),
                                  "--reply-blob", dir.File("no/such/dir")}, 1);
    EXPECT_TRUE(Has(kept, "tessary send: cannot create " + dir.File("no/such/dir"))) << kept;

    ASSERT_EQ(listen.Wait(), 0);
    EXPECT_EQ(listen.Stderr(), "");
    const std::string out = listen.Stdout();
    const std::string first = saved + "/tessary-cli-7.bin";
    const std::string second = saved + "/tessary-cli-7-2.bin";
    const std::string size = std::to_string(bytes.size());
    for (const std::string& line :
         {std::string("online  bus server on status port ") + std::to_string(m_Bus->StatusPort()),
          std::string("online  bus server on status port ") +
              std::to_string(m_Bus->StatusPort(1)),
          std::string(Ready) + ", subscribed to 77",
          std::string("message 42 from tessary-cli: hello\\nthere"),
          std::string("message 43 from tessary-cli (16-bit): gr\u00fc\u00dfe"),
          "BLOB 7 from tessary-cli: " + size + " bytes, saved to " + first,
          "BLOB 7 from tessary-cli: " + size + " bytes, text \"caption\", saved to " + second,
          std::string("message 77 from tessary-cli: to all"),
          "BLOB 7 from tessary-cli: " + size + " bytes, text (16-bit) \"the file\", saved to " +
              saved + "/tessary-cli-7-3.bin",
          "BLOB 7 from tessary-cli: 0 bytes, saved to " + saved + "/tessary-cli-7-4.bin",
          std::string("stopped after 7 messages and BLOBs")}) {
        EXPECT_TRUE(Has(out, line + "\n")) << "missing: " << line << "\nin:\n" << out;
    }
    EXPECT_EQ(ReadBytes(first), bytes) << "the saved BLOB differs";
    EXPECT_EQ(ReadBytes(second), bytes) << "the saved streamed BLOB differs";
}

} // namespace
