#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The listener is ready once every bus server has it registered: it says so in one line.
constexpr const char* Ready = "listening as rx on 2 bus servers";

TEST_F(ToolTest, ListenPrintsWhatArrivesAnswersItAndSavesBLOBs) {
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string bytes = PatternText((3 << 20) + 5, 2);
    WriteBytes(dir.File("in.bin"), bytes);
    const std::string saved = dir.Path() + "/saved";
    ASSERT_EQ(mkdir(saved.c_str(), 0755), 0);

    // With the library's log shown: a healthy exchange and stop have nothing to warn about.
    ToolProcess listen(With({"listen", "rx", "--count", "7", "--reply", "fine", "--save", saved,
                             "--echo-blob", "--subscribe", "77", "-v"}));
    ASSERT_TRUE(listen.WaitForOutput(Ready)) << listen.Stdout() << listen.Stderr();

    ToolProcess send(With({"send", "rx", "42", "hello\nthere", "-v"}));
    EXPECT_EQ(send.Wait(), 0);
    EXPECT_EQ(send.Stdout(), "fine\n");
    EXPECT_EQ(send.Stderr(), "");
    ToolProcess wide(With({"send", "rx", "43", "gr\u00fc\u00dfe", "--wide"}));
    EXPECT_EQ(wide.Wait(), 0) << wide.Stderr();
    EXPECT_EQ(wide.Stdout(), "fine\n");
    const std::string echoed = dir.File("echo.bin");
    ToolProcess blob(With({"send", "rx", "7", "--file", dir.File("in.bin"), "--reply-blob",
                           echoed}));
    EXPECT_EQ(blob.Wait(), 0) << blob.Stderr();
    EXPECT_EQ(ReadBytes(echoed), bytes) << "the echoed BLOB differs";
    ToolProcess stream(With({"post", "rx", "7", "caption", "--file", dir.File("in.bin"),
                             "--stream"}));
    EXPECT_EQ(stream.Wait(), 0) << stream.Stderr();
    // A post to nobody reaches the subscribers of its command.
    ToolProcess publish(With({"post", "", "77", "to all"}));
    EXPECT_EQ(publish.Wait(), 0) << publish.Stderr();
    const std::string streamed = dir.File("streamed.bin");
    ToolProcess wideStream(With({"send", "rx", "7", "the file", "--file", dir.File("in.bin"),
                                 "--reply-blob", streamed, "--stream", "--wide"}));
    EXPECT_EQ(wideStream.Wait(), 0) << wideStream.Stderr();
    EXPECT_EQ(wideStream.Stdout(), "fine\nreply BLOB: " + std::to_string(bytes.size()) +
                                       " bytes saved to " + streamed + "\n");
    EXPECT_EQ(ReadBytes(streamed), bytes) << "the echoed streamed BLOB differs";
    // An empty file is an empty BLOB; a reply BLOB that cannot be kept fails the send after it.
    WriteBytes(dir.File("empty.bin"), "");
    ToolProcess empty(With({"send", "rx", "7", "--file", dir.File("empty.bin"), "--reply-blob",
                            dir.File("no/such/dir")}));
    EXPECT_EQ(empty.Wait(), 1);
    EXPECT_TRUE(Has(empty.Stderr(), "tessary send: cannot create " + dir.File("no/such/dir")))
        << empty.Stderr();

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

TEST_F(ToolTest, ListenRefusesWithItsErrorCodeAndStopsOnInterrupt) {
    ScratchDir dir;
    WriteBytes(dir.File("in.bin"), PatternText(70000, 3));
    ToolProcess listen(With({"listen", "rx", "--error", "9", "--reply", "not today"}));
    ASSERT_TRUE(listen.WaitForOutput(Ready)) << listen.Stdout() << listen.Stderr();
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"send", "rx", "5", "x"},
          std::vector<std::string>{"send", "rx", "5", "--file", dir.File("in.bin")},
          std::vector<std::string>{"send", "rx", "5", "--file", dir.File("in.bin"), "--stream"}}) {
        ToolProcess send(With(arguments));
        EXPECT_EQ(send.Wait(), 1);
        EXPECT_EQ(send.Stderr(), "tessary send: error acknowledgement 9 from rx: not today\n");
    }
    ToolProcess online(With({"online", "rx"}));
    EXPECT_EQ(online.Wait(), 0);

    listen.Interrupt();
    EXPECT_EQ(listen.Wait(), 0) << listen.Stderr();
    EXPECT_TRUE(Has(listen.Stdout(), "message 5 from tessary-cli: x\n")) << listen.Stdout();
    EXPECT_TRUE(Has(listen.Stdout(), "stopped after 3 messages and BLOBs\n")) << listen.Stdout();
    // Gone from the bus with it.
    EXPECT_TRUE(Eventually([&] {
        ToolProcess offline(With({"online", "rx"}));
        return offline.Wait() == 1;
    }, FileBound));
}

} // namespace
