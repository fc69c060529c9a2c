#include "tessary/receiver/internal/WaitMessageServer.h"

#include "tessary/external/internal/LogCapture.h"
#include "tessary/receiver/internal/WaitConnection.h"
#include "tests/receiver/ReceiverTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

using namespace receivertest;
using ORVEX::Log::LogCapture;

namespace {

// One wait server against a loopback peer standing in for the bus server's status port.
class WaitServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Server = std::make_unique<WaitMessageServer>();
        Configure(*m_Server, m_Peer.Port());
    }

    void TearDown() override { m_Server.reset(); }

    void Configure(WaitMessageServer& server, int port) {
        server.SetName(("WaitTask.1<Me>@" + std::to_string(port)).c_str());
        server.ConnectIPAddress = LoopbackPeer::Host;
        server.StatusPort = port;
        server.SourceID = "Me";
        server.MessageHandler = [this](uint32_t command, const void*, EventArgs_BUSMessage* e) {
            ++m_Messages;
            if (m_OnMessage) {
                m_OnMessage(command, e);
            }
        };
        server.BLOBHandler = [this](uint32_t, const void*, EventArgs_BUSBLOB* e) {
            ++m_BLOBs;
            std::lock_guard lock(m_Mutex);
            m_LastBLOB.assign(e->BLOB.GetData(), e->BLOB.GetData() + e->BLOB.Length());
        };
        server.HeartbeatHandler = [this](const void*, EventArgs_Null*) { ++m_Heartbeats; };
        server.Heartbeat1MinuteHandler = [this](const void*, EventArgs_Null*) { ++m_Heartbeats1; };
        server.Heartbeat5MinuteHandler = [this](const void*, EventArgs_Null*) { ++m_Heartbeats5; };
        server.OfflineHandler = [this](const void*, EventArgs_Null*) {
            std::lock_guard lock(m_Mutex);
            m_Offline.push_back(std::chrono::steady_clock::now());
        };
        server.OnlineHandler = [this](const void*, EventArgs_Null*) {
            m_OnlineBeforeMessage = m_Messages.load();
        };
    }

    void StartAndRegister() {
        ASSERT_TRUE(m_Server->Start(4));
        ASSERT_TRUE(m_Peer.WaitForFrames(1)) << "no registration arrived";
    }

    size_t OfflineCount() {
        std::lock_guard lock(m_Mutex);
        return m_Offline.size();
    }

    LogCapture m_Log;
    LoopbackPeer m_Peer;
    std::unique_ptr<WaitMessageServer> m_Server;
    std::function<void(uint32_t, EventArgs_BUSMessage*)> m_OnMessage;
    std::atomic<int> m_Messages{0};
    std::atomic<int> m_BLOBs{0};
    std::atomic<int> m_Heartbeats{0};
    std::atomic<int> m_Heartbeats1{0};
    std::atomic<int> m_Heartbeats5{0};
    std::atomic<int> m_OnlineBeforeMessage{-1};
    std::mutex m_Mutex;
    std::vector<std::chrono::steady_clock::time_point> m_Offline;
    Bytes m_LastBLOB;
};

// The registration is a Listen head alone; a stop breaks the read that waits for what follows
// at once, and reports nothing off line.
TEST_F(WaitServerTest, RegistersWithTheListenHeadAloneAndStopsAtOnce) {
    StartAndRegister();
    ASSERT_TRUE(m_Peer.WaitForBytes(88));
    // Nothing follows the head: no body and no tail.
    EXPECT_FALSE(m_Peer.WaitForBytes(89, 0, 200ms));
    // Every field but the numbers the receiver draws is that of a fresh Listen head from "Me".
    const MessageHead head = m_Peer.Frames()[0].Head;
    MessageHead expected(HeadType::Listen);
    expected.SetSourceID("Me");
    expected.CallerID = head.CallerID;
    expected.MessageID = head.MessageID;
    expected.TickCount = head.TickCount;
    EXPECT_EQ(HeadBytes(head), HeadBytes(expected));
    EXPECT_GT(head.CallerID, 0u);
    const std::string name = m_Server->GetName();
    const std::string address = "<127.0.0.1 : " + std::to_string(m_Peer.Port()) + "> ";
    EXPECT_TRUE(m_Log.WaitFor("[" + name + "]is listening to " + address));
    EXPECT_TRUE(m_Log.Has("[" + name + "]is connecting to " + address));
    EXPECT_TRUE(m_Log.Has("WaitServer.TimeOut (seconds) : 300"));

    ASSERT_TRUE(Eventually([&] { return m_Server->IsConnected(); }));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(m_Server->Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms);
    EXPECT_FALSE(m_Server->IsRunning());
    EXPECT_TRUE(m_Log.HasFragment(" Leave WaitOneMessage due to m_bWillStop is true"));
    EXPECT_TRUE(m_Log.Has("Leave WaitServer::Stop, total 0 Message received"));
    EXPECT_TRUE(m_Log.Has("Leave [" + name + "]::Run, total 0 message"));
    EXPECT_EQ(OfflineCount(), 0u);
}

// Frames pushed in turn on one connection: each one a handler takes is answered on it, in
// the width of its reply and as an Error frame when the handler gives a result code; frames of
// unknown types or a newer version are skipped; a SYNC switches the heartbeat log line and sets
// the time-out; the connection stays.
TEST_F(WaitServerTest, PushedFramesAreFiredAndAnsweredInTurn) {
    m_OnMessage = [](uint32_t command, EventArgs_BUSMessage* e) {
        e->ResultCode = command == 12 ? 5 : command == 13 ? 3 : 0;
        if (command == 9) {
            e->WReplyText = u"re " + e->WMessage.str();
        } else if (command != 12) {
            e->ReplyText = e->SourceID.str() + ">" + e->TargetID.str() + ": " + e->Message.str();
        }
    };
    StartAndRegister();
    MessageHead blob = PushedHead(HeadType::Message, 10);
    blob.Flags |= HeadFlag::BLOB;
    MessageHead newer = PushedHead(HeadType::Message, 4, "Future");
    newer.Version = 0x511;
    const MessageHead pushed = PushedHead(HeadType::Message, 8);
    const MessageHead alt = PushedHead(HeadType::MessageAlt, 12);
    const MessageHead unknown = PushedHead(0x7000, 3);
    const Bytes bytes = PatternBytes(5000);
    const std::pair<Bytes, std::string> cases[] = {
        {FrameBuilder(pushed).Body("hello").Build(), "Sender>Me: hello"},
        {FrameBuilder(PushedHead(HeadType::Message, 9)).WideBody(u"h\u00e9llo").Build(), "wide"},
        {FrameBuilder(alt).Body("x").Build(), ""},
        {PushedMessage(13, "y"), "Sender>Me: y"},
        {FrameBuilder(unknown).Body("skip me").Blob(PatternBytes(300)).Build(), "skipped"},
        {FrameBuilder(newer).Body("from the future").Build(), "skipped"},
        {FrameBuilder(blob).Body("b").Blob(bytes).Build(), ""},
        // The bus server's on-line message raises the on-line event before it is fired.
        {PushedMessage(FixedCommand::ServerOnline, ""), "Sender>Me: "},
    };
    for (const auto& [frame, reply] : cases) {
        m_Peer.Send(frame);
    }
    // Of two heartbeats, only the one after the SYNC that switches logging on is logged; a SYNC
    // with another command changes only the switch.
    MessageHead sync = PushedHead(HeadType::SYNC, FixedCommand::HeartRate, "__BUSServer");
    sync.Flags = HeadFlag::LogHeartbeats;
    sync.Value = 10000;
    const MessageHead heartbeat = PushedHead(HeadType::Heartbeat, 0, "__BUSServer");
    m_Peer.Send(FrameBuilder(sync).Build());
    m_Peer.Send(FrameBuilder(heartbeat).Build());
    sync.Flags = 0;
    sync.Command = 7;
    m_Peer.Send(FrameBuilder(sync).Build());
    m_Peer.Send(FrameBuilder(heartbeat).Build());
    m_Peer.Send(FrameBuilder(PushedHead(HeadType::Heartbeat1Minute, 0, "__BUSServer")).Build());
    m_Peer.Send(FrameBuilder(PushedHead(HeadType::Heartbeat5Minute, 0, "__BUSServer")).Build());
    ASSERT_TRUE(WaitForAnswers(m_Peer, 6));
    ASSERT_TRUE(Eventually([&] { return m_Heartbeats5.load() == 1; }));
    const std::vector<PeerFrame> answers = Answers(m_Peer);
    ASSERT_EQ(answers.size(), 6u);
    const uint32_t types[] = {HeadType::Ack, HeadType::Ack, HeadType::Error, HeadType::Error,
                              HeadType::Ack, HeadType::Ack};
    for (size_t i = 0, answer = 0; i < std::size(cases); ++i) {
        if (cases[i].second != "skipped") {
            SCOPED_TRACE(answer);
            EXPECT_EQ(answers[answer].Head.Type, types[answer]);
            EXPECT_EQ(answers[answer].Head.MessageID, HeadFromBytes(cases[i].first.data()).MessageID);
            EXPECT_EQ(answers[answer].Head.CallerID, 77u);
            EXPECT_TRUE(answers[answer].HasTail);
            EXPECT_TRUE(cases[i].second == "wide" || answers[answer].BodyText() == cases[i].second);
            ++answer;
        }
    }
    const PeerFrame& ack = answers[0];
    EXPECT_EQ(ack.Head.Command, 0);
    EXPECT_EQ(IdFieldText(ack.Head.SourceID), "Me");
    EXPECT_EQ(IdFieldText(ack.Head.TargetID), "Sender");
    EXPECT_FALSE(ack.Head.HasFlag(HeadFlag::Wide));
    EXPECT_TRUE(answers[1].Head.HasFlag(HeadFlag::Wide));
    EXPECT_EQ(answers[1].BodyText(), std::string("r\0e\0 \0h\0\xe9\0l\0l\0o\0", 16));
    // An Error carries the code and the command, and takes the wide flag when it has no text.
    EXPECT_EQ(answers[2].Head.Value, 5);
    EXPECT_EQ(answers[2].Head.Command, 12);
    EXPECT_TRUE(answers[2].Head.HasFlag(HeadFlag::Wide));
    EXPECT_EQ(answers[3].Head.Value, 3);
    EXPECT_FALSE(answers[3].Head.HasFlag(HeadFlag::Wide));
    {
        std::lock_guard lock(m_Mutex);
        EXPECT_EQ(m_LastBLOB, bytes);
    }
    EXPECT_EQ(m_BLOBs.load(), 1);
    EXPECT_EQ(m_Messages.load(), 5);
    EXPECT_EQ(m_OnlineBeforeMessage.load(), 4);
    EXPECT_EQ(m_Server->GetMessageCount(), 6u);
    EXPECT_EQ(m_Peer.ConnectionCount(), 1u);

    const std::string port = std::to_string(m_Peer.Port());
    const std::string tag = "[" + std::to_string(pushed.MessageID) + " : 77] [@" + port + "] ";
    EXPECT_TRUE(m_Log.Has("--B-> " + tag + "WaitServer get a message of 5 bytes"));
    // Written just after the answer went out, so it may come a moment after the peer has it.
    EXPECT_TRUE(m_Log.WaitFor("<-C-- " + tag + "Leave SendAck, <Me> -> <Sender>,  16 bytes"));
    EXPECT_TRUE(m_Log.HasFragment("WaitServer get a message of 1 bytes + 4 KB"));
    EXPECT_TRUE(m_Log.Has("<---- [" + std::to_string(unknown.MessageID) + " : 77] [@" + port +
                          "] WaitServer get an inavalid message of Type : 0x7000"));
    EXPECT_EQ(m_Log.Count("Version mismatched from Future of CMD : 4 of version 0x511 (Server "
                          "version : 0x510)"),
              6);
    EXPECT_TRUE(m_Log.HasFragment("WaitServer get an inavalid message of Type : 0x2000"));
    EXPECT_EQ(m_Heartbeats.load(), 2);
    EXPECT_EQ(m_Heartbeats1.load(), 1);
    EXPECT_EQ(m_Log.Count("SYNC of HeartRate of 10000 MS, set timeout to 15 seconds"), 1);
    EXPECT_EQ(m_Log.Count("<---- [" + std::to_string(heartbeat.MessageID) + " : 77] [@" + port +
                          "] WaitServer get a Heartbeat Message at <Me>"),
              1);
    EXPECT_TRUE(m_Log.HasFragment("WaitServer get a Heartbeat1Minute Message at <Me>"));
    EXPECT_TRUE(m_Log.HasFragment("WaitServer get a Heartbeat5Minute Message at <Me>"));
}

// Each way a connection can break ends in a new one, registered again: the peer closing it,
// bytes that are no head at all, a throwing handler (a frame cut short is the receiver's case).
TEST_F(WaitServerTest, EveryBrokenConnectionIsRenewed) {
    std::atomic<bool> thrown{false};
    m_OnMessage = [&](uint32_t command, EventArgs_BUSMessage* e) {
        if (command == 9 && !thrown.exchange(true)) {
            throw std::runtime_error("handler failed");
        }
        e->ReplyText = "partial";
    };
    StartAndRegister();
    m_Peer.Close(0);
    ASSERT_TRUE(m_Peer.WaitForFrames(1, 1)) << "no second registration";
    EXPECT_EQ(OfflineCount(), 1u);
    EXPECT_EQ(m_Peer.Frames(1)[0].Head.Type, HeadType::Listen);
    EXPECT_GT(m_Peer.Frames(1)[0].Head.CallerID, m_Peer.Frames(0)[0].Head.CallerID);
    EXPECT_TRUE(m_Log.HasFragment(" Leave WaitOneMessage, get an invalid head. Is the socket closed ?"));

    m_Peer.Send(Bytes(88 + 16, 0xFF), 1);
    m_Peer.Send(Bytes(40, 0x01), 1);
    m_Peer.Close(1);
    ASSERT_TRUE(m_Peer.WaitForFrames(1, 2));

    m_Peer.Send(PushedMessage(9, "first"), 2);
    ASSERT_TRUE(m_Peer.WaitForFrames(1, 3));
    EXPECT_TRUE(m_Log.Has("Exception at WaitOneMessage"));
    m_Peer.Send(PushedMessage(9, "again"), 3);
    ASSERT_TRUE(WaitForAnswers(m_Peer, 1, 3));
    EXPECT_EQ(Answers(m_Peer, 3)[0].BodyText(), "partial");
}

TEST_F(WaitServerTest, AnUnreachableBusServerIsReportedAtEveryAttempt) {
    const int port = LoopbackPeer::ClosedPort();
    Configure(*m_Server, port);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_Server->Start(4));
    ASSERT_TRUE(Eventually([&] { return OfflineCount() >= 3; }, 3000ms));
    std::lock_guard lock(m_Mutex);
    // Two pauses of 200 ms lie between attempts.
    EXPECT_GE(m_Offline[2] - m_Offline[0], 700ms);
    EXPECT_LT(m_Offline[0] - begin, 1000ms);
    EXPECT_TRUE(m_Log.HasFragment("failed to connect to <127.0.0.1 : " + std::to_string(port)));
}

TEST_F(WaitServerTest, SubscribesOnThePortBelowAndRetriesOnce) {
    auto peers = LoopbackPeer::OpenSeries(2, 1);
    LoopbackPeer& command = *peers[0];
    std::atomic<int> requests{0};
    command.SetResponder([&](LoopbackPeer& peer, size_t connection, const PeerFrame& frame) {
        const uint32_t type = requests++ == 0 ? HeadType::Failed : HeadType::Reply;
        Answering(type)(peer, connection, frame);
    });
    Configure(*m_Server, peers[1]->Port());
    // What the request says is the end-to-end cases' to check, where a bus answers it.
    EXPECT_TRUE(m_Server->Subscribe(100, 2000));
    ASSERT_EQ(command.ConnectionCount(), 2u);
    EXPECT_EQ(command.Frames(1)[0].Head.Type, HeadType::Subscribe);
    EXPECT_TRUE(m_Log.Has("[" + std::string(m_Server->GetName()) +
                          "] Subscribe, socket reconnecting ..."));

    command.StopListening();
    EXPECT_FALSE(m_Server->Subscribe(101, 1000));
    EXPECT_TRUE(m_Log.Has("[" + std::string(m_Server->GetName()) +
                          "] Leave Subscribe, socket is closed ?"));
}

// Settings go to the status port itself: the no-delay switch on the waiting connection before
// its registration, any other pair on a connection of its own.
TEST_F(WaitServerTest, PostsSettingsToTheStatusPortItself) {
    m_Peer.SetResponder([](LoopbackPeer& peer, size_t connection, const PeerFrame& frame) {
        if (frame.Head.Type == HeadType::Setting) {
            Answering(HeadType::Reply)(peer, connection, frame);
        }
    });
    m_Server->TcpNoDelay = true;
    ASSERT_TRUE(m_Server->Start(4));
    ASSERT_TRUE(m_Peer.WaitForFrames(2));
    EXPECT_EQ(m_Peer.Frames()[0].Head.Type, HeadType::Setting);
    EXPECT_EQ(m_Peer.Frames()[0].Head.CallerID, 1230u);
    EXPECT_EQ(m_Peer.Frames()[1].Head.Type, HeadType::Listen);

    EXPECT_TRUE(m_Server->BUSSetting(6001, "Mode", "a\"b"));
    const PeerFrame setting = m_Peer.Frames(1)[0];
    EXPECT_EQ(setting.Head.Type, HeadType::Setting);
    EXPECT_EQ(setting.Head.Command, 6001);
    EXPECT_EQ(setting.Head.CallerID, 9876u);
    EXPECT_EQ(setting.BodyText(), "{\r\n  \"Mode\" : \"a\\\"b\"\r\n}");
    EXPECT_TRUE(m_Log.Has("Enter WaitServer.BUSSetting, <6001,Mode --> a\"b>"));

    m_Peer.StopListening();
    EXPECT_FALSE(m_Server->BUSSetting(6001, "Mode", "x"));
    EXPECT_TRUE(m_Log.Has("BUSSetting, connect failed, retrying ..."));
    EXPECT_TRUE(m_Log.Has("BUSSetting, connect failed, 2nd retrying ..."));
    EXPECT_TRUE(m_Log.Has("BUSSetting, connect failed, 3rd retrying ..."));
}

// The wait time-out after a SYNC is one and a half heart rates, at least two seconds; the log
// gives a BLOB's size in the largest unit that keeps it whole.
TEST(WaitServerText, TimeOutsAndSizes) {
    const std::pair<int32_t, int32_t> timeOuts[] = {{10000, 15}, {3000, 4}, {2500, 3}, {1000, 2},
                                                    {0, 2},      {-5000, 2}, {1999, 2}};
    for (const auto& [heartRate, seconds] : timeOuts) {
        EXPECT_EQ(SyncTimeOutSeconds(heartRate), seconds) << heartRate;
    }
    EXPECT_EQ(std::string(BLOBSizeSuffix(0)), "");
    EXPECT_EQ(std::string(BLOBSizeSuffix(4095)), " + 4095 bytes");
    EXPECT_EQ(std::string(BLOBSizeSuffix(4096)), " + 4 KB");
    EXPECT_EQ(std::string(BLOBSizeSuffix(4194304)), " + 4 MB");
    EXPECT_EQ(std::string(BLOBSizeSuffix(0x7FFFFFFF)), " + 2047 MB");
}

} // namespace
