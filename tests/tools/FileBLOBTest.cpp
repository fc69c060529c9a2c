#include "tessary/receiver/BLOBReceiver.h"
#include "tests/tools/ToolBus.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using ORVEX::Tessary::Controller::BLOBReceiver;

constexpr unsigned long Store = 7;
constexpr unsigned long Refuse = 8;

// A receiver "rx" of the test process that keeps what it is sent: command Store answers
// "got N" with the BLOB reversed as reply BLOB, command Refuse answers error 5.
class Keeper : public BLOBReceiver {
public:
    Keeper(int statusPort, int count) {
        StatusPort = statusPort;
        NbOfBUSServer = count;
        SetSourceID("rx");
        BLOBEvent.Add(static_cast<int>(Store),
                      C11DelegateHandler<EventArgs_BUSMessage>([this](const void*,
                                                                      EventArgs_BUSMessage* m) {
                          auto* e = static_cast<EventArgs_BUSBLOB*>(m);
                          const auto* data = reinterpret_cast<const char*>(e->BLOB.GetData());
                          std::string bytes(data, data + e->BLOB.Length());
                          e->ReplyText = "got " + std::to_string(bytes.size());
                          std::string reversed(bytes.rbegin(), bytes.rend());
                          if (!reversed.empty()) {
                              std::copy(reversed.begin(), reversed.end(),
                                        e->ReplyBLOB.Allocate(static_cast<int>(reversed.size())));
                          }
                          std::lock_guard lock(m_Mutex);
                          m_Texts.push_back(e->Message.IsEmpty() ? e->WMessage.ToDString().str()
                                                                 : e->Message.str());
                          m_BLOBs.push_back(std::move(bytes));
                      }));
        BLOBEvent.Add(static_cast<int>(Refuse), C11DelegateHandler<EventArgs_BUSMessage>(
                                                    [](const void*, EventArgs_BUSMessage* e) {
                                                        e->ResultCode = 5;
                                                        e->ReplyText = "no room";
                                                    }));
    }
    ~Keeper() override { StopWait(); }

    std::vector<std::string> BLOBs() const {
        std::lock_guard lock(m_Mutex);
        return m_BLOBs;
    }
    std::vector<std::string> Texts() const {
        std::lock_guard lock(m_Mutex);
        return m_Texts;
    }

private:
    mutable std::mutex m_Mutex;
    std::vector<std::string> m_BLOBs;
    std::vector<std::string> m_Texts;
};

class FileBLOBTest : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        ASSERT_FALSE(m_Dir.Path().empty());
        m_Keeper = std::make_unique<Keeper>(m_Bus->StatusPort(), BusCount);
        m_Keeper->StartWait();
        ASSERT_TRUE(Eventually([&] { return m_Bus->Stats().Registrations >= BusCount; }, FileBound))
            << "the receiver did not register on every bus server";
        // Past a few stream chunks and not a multiple of any.
        m_Bytes = PatternText((5 << 20) + 3, 1);
        WriteBytes(m_Dir.File("in.bin"), m_Bytes);
    }
    void TearDown() override { m_Keeper.reset(); }

    ScratchDir m_Dir;
    std::unique_ptr<Keeper> m_Keeper;
    std::string m_Bytes;
};

// A whole file with a reply BLOB and a streamed post are the listener's case; here the streamed
// send with a 16-bit text and a reply BLOB.
TEST_F(FileBLOBTest, AStreamedFileArrivesByteExactWithItsReplyBLOB) {
    const std::string reply = m_Dir.File("reply.bin");
    ToolProcess send(With({"send", "rx", "7", "the file", "--file", m_Dir.File("in.bin"),
                           "--reply-blob", reply, "--stream", "--wide"}));
    ASSERT_EQ(send.Wait(), 0) << send.Stderr();
    EXPECT_EQ(send.Stdout(), "got " + std::to_string(m_Bytes.size()) + "\nreply BLOB: " +
                                 std::to_string(m_Bytes.size()) + " bytes saved to " + reply + "\n");
    EXPECT_EQ(ReadBytes(reply), std::string(m_Bytes.rbegin(), m_Bytes.rend()));
    ASSERT_TRUE(Eventually([&] { return m_Keeper->BLOBs().size() == 1; }, FileBound));
    EXPECT_TRUE(m_Keeper->BLOBs()[0] == m_Bytes) << "the BLOB differs";
    EXPECT_EQ(m_Keeper->Texts(), std::vector<std::string>{"the file"});

    // An empty file is an empty BLOB, and no reply BLOB an empty file.
    WriteBytes(m_Dir.File("empty.bin"), "");
    ToolProcess empty(With({"send", "rx", "7", "--file", m_Dir.File("empty.bin"), "--reply-blob",
                            m_Dir.File("empty-reply.bin")}));
    ASSERT_EQ(empty.Wait(), 0) << empty.Stderr();
    EXPECT_EQ(empty.Stdout(),
              "got 0\nreply BLOB: 0 bytes saved to " + m_Dir.File("empty-reply.bin") + "\n");
}

TEST_F(FileBLOBTest, FailuresNameTheirCauseAndExitWith1) {
    struct Case {
        std::vector<std::string> Arguments;
        std::string Stderr;
    };
    const std::string in = m_Dir.File("in.bin");
    const std::string closed = std::to_string(LoopbackPeer::ClosedPort());
    const std::vector<Case> cases = {
        {With({"send", "rx", "7", "--file", m_Dir.File("missing.bin")}),
         "tessary send: cannot open " + m_Dir.File("missing.bin") + ": No such file"},
        {With({"post", "rx", "7", "--file", m_Dir.Path(), "--stream"}),
         "tessary post: cannot send " + m_Dir.Path() + ": it is a directory"},
        {With({"send", "rx", "8", "--file", in}),
         "tessary send: error acknowledgement 5 from rx: no room"},
        {With({"send", "rx", "8", "--file", in, "--stream"}),
         "tessary send: error acknowledgement 5 from rx: no room"},
        {With({"send", "nobody", "7", "--file", in}),
         "tessary send: nobody is not registered on the bus (error -20: Failed when ReadReply "
         "(from BUS Server))"},
        {With({"send", "rx", "7", "--file", in, "--reply-blob", m_Dir.File("no/such/dir")}),
         "tessary send: cannot create " + m_Dir.File("no/such/dir")},
        {{"send", "rx", "7", "--file", in, "--command-port", closed, "--servers", "1"},
         "tessary send: no bus server at 127.0.0.1:" + closed +
             " (error -1, 10061: Connection Refused)"},
        {{"post", "rx", "7", "--file", in, "--stream", "--command-port", closed, "--servers", "1"},
         "tessary post: no bus server at 127.0.0.1:" + closed +
             " (error -1, 10061: Connection Refused)"},
    };
    for (const Case& c : cases) {
        ToolProcess tool(c.Arguments);
        EXPECT_EQ(tool.Wait(), 1) << c.Stderr;
        EXPECT_NE(tool.Stderr().find(c.Stderr), std::string::npos) << tool.Stderr();
    }
    // Options that only make sense with a file are refused as a bad command line.
    for (const char* option : {"--stream", "--reply-blob=x"}) {
        ToolProcess tool(With({"send", "rx", "7", option}));
        EXPECT_EQ(tool.Wait(), 2) << option;
    }
}

} // namespace
