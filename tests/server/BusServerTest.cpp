#include "tessary/external/internal/LogCapture.h"
#include "testkit/EmbeddedBus.h"
#include "testkit/RawClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <set>
#include <string>
#include <thread>

using busd::BusServer;
using busd::BusServerOptions;

namespace {

BusServerOptions TestOptions() {
    BusServerOptions options = BusOptions(2);
    options.MaxFrameBytes = 16 << 20;
    options.MaxPendingBytes = 1 << 20;
    options.IdleTimeoutMs = 5000;
    return options;
}

// Pins the calling thread, or the thread of this process with the given name, to one CPU.
void Pin(int cpu, const std::string& threadName = "") {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (threadName.empty()) {
        sched_setaffinity(0, sizeof set, &set);
        return;
    }
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name == threadName) {
            sched_setaffinity(std::stoi(task.path().filename().string()), sizeof set, &set);
        }
    }
}

} // namespace

class BusServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Server = StartBus(TestOptions());
        ASSERT_TRUE(m_Server);
    }

    // Stops the bus and starts it again on the same ports with options changed by tweak.
    template <typename Tweak> void Restart(Tweak tweak) {
        BusServerOptions options = TestOptions();
        options.CommandPort = m_Server->CommandPort();
        options.StatusPort = m_Server->StatusPort();
        tweak(options);
        m_Server->Stop();
        m_Server = StartBus(options);
        ASSERT_TRUE(m_Server);
    }

    RawClient Receiver(const char* id, int k = 0) {
        RawClient receiver(m_Server->StatusPort(k));
        EXPECT_TRUE(receiver.Listen(id)) << id;
        return receiver;
    }

    RawClient Client(int k = 0) { return RawClient(m_Server->CommandPort(k)); }

    // Sends a request and returns the answer's type (0 when none came).
    static uint32_t Request(RawClient& client, uint32_t type, const char* source,
                            const char* target, int32_t command = 0, const char* body = "") {
        EXPECT_TRUE(
            client.Send(FrameBuilder(Head(type, source, target, command)).Body(body).Build()));
        const auto answer = client.Read();
        return answer ? answer->Head.Type : 0;
    }

    // Reads the next frame, which must carry text.
    static void ExpectBody(RawClient& receiver, const std::string& text) {
        const auto got = receiver.Read();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->BodyText(), text);
    }

    std::unique_ptr<BusServer> m_Server;
};

// Each bus server knows only its own receivers, but they share one set of unique ids (the
// naming scheme is UniqueIdsTest's).
TEST_F(BusServerTest, EachKnowsItsOwnReceiversButTheUniqueIdsAreShared) {
    Restart([](BusServerOptions& options) {
        options.NbOfBUSServer = 3;
        options.CommandPort = options.StatusPort = 0;
    });
    RawClient registered = Receiver("taken", 1);
    std::set<std::string> seen;
    for (int k : {0, 1, 2, 0, 1, 2}) {
        RawClient client = Client(k);
        EXPECT_EQ(Request(client, HeadType::Enquiry, "c", "taken"),
                  k == 1 ? HeadType::Reply : HeadType::Failed);
        const MessageHead request = Head(HeadType::UniqueSourceID, "taken", "taken");
        ASSERT_TRUE(client.Send(FrameBuilder(request).Build()));
        const auto reply = client.Read();
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->Head.Type, HeadType::Reply);
        EXPECT_EQ(reply->Head.MessageID, request.MessageID);
        const std::string id = IdFieldText(reply->Head.TargetID);
        EXPECT_NE(id, "taken");
        EXPECT_TRUE(seen.insert(id).second) << id << " handed out twice";
    }
}

TEST_F(BusServerTest, RegistrationGetsSyncThenOnlineThenThreeKindsOfHeartbeat) {
    Restart([](BusServerOptions& options) {
        options.HeartRateMs = 40;
        options.Heartbeat1MinuteMs = 60;
        options.Heartbeat5MinuteMs = 80;
    });
    RawClient receiver(m_Server->StatusPort(1));
    ASSERT_TRUE(receiver.Send(HeadBytes(Head(HeadType::Listen, "hb", ""))));
    const auto sync = receiver.Read();
    ASSERT_TRUE(sync);
    EXPECT_EQ(sync->Head.Type, HeadType::SYNC);
    EXPECT_EQ(sync->Head.Command, 100);
    EXPECT_EQ(sync->Head.Value, 40);
    EXPECT_EQ(IdFieldText(sync->Head.TargetID), "hb");
    const auto online = receiver.Read();
    ASSERT_TRUE(online);
    EXPECT_EQ(online->Head.Type, HeadType::Message);
    EXPECT_EQ(online->Head.Command, 1);
    EXPECT_EQ(IdFieldText(online->Head.SourceID), BUSServerID);
    EXPECT_EQ(IdFieldText(online->Head.TargetID), "hb");
    std::set<uint32_t> kinds;
    while (kinds.size() < 3) {
        const auto frame = receiver.Read();
        ASSERT_TRUE(frame) << "heartbeat kinds seen: " << kinds.size();
        ASSERT_TRUE(frame->Head.Type == HeadType::Heartbeat ||
                    frame->Head.Type == HeadType::Heartbeat1Minute ||
                    frame->Head.Type == HeadType::Heartbeat5Minute)
            << std::hex << frame->Head.Type;
        kinds.insert(frame->Head.Type);
    }
}

TEST_F(BusServerTest, RequestsAreAnsweredOnEitherPortBeforeListen) {
    RawClient worker = Receiver("worker", 1);
    struct Case {
        uint32_t type;
        const char* target;
        uint32_t flags;
        uint32_t expected;
        const char* body = "";
    };
    const Case cases[] = {
        {HeadType::Enquiry, "worker", 0, HeadType::Reply},
        {HeadType::Enquiry, "nobody", 0, HeadType::Failed},
        {HeadType::Message, "nobody", 0, HeadType::Failed, "b"},
        {HeadType::Message, "nobody", HeadFlag::AckRequested, HeadType::Failed, "b"},
        // Publishing cannot be acknowledged by many receivers.
        {HeadType::Message, "", HeadFlag::AckRequested, HeadType::Failed, "b"},
        // Nobody subscribed: accepted all the same.
        {HeadType::Message, "", 0, HeadType::Reply, "b"},
        {HeadType::Subscribe, BUSServerID, 0, HeadType::Reply},
        {HeadType::Setting, BUSServerID, 0, HeadType::Reply, "{\r\n  \"TcpNoDelay\" : 1\r\n}"},
        {HeadType::Setting, BUSServerID, 0, HeadType::Failed, "{nope"},
        {HeadType::Reply, BUSServerID, 0, HeadType::Failed},
        {0x1234, BUSServerID, 0, HeadType::Failed},
    };
    for (const int port : {m_Server->CommandPort(1), m_Server->StatusPort(1)}) {
        RawClient client(port);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "port " << port << " type 0x" << std::hex << c.type
                                            << " to " << c.target);
            MessageHead request = Head(c.type, "asker", c.target, 77, c.flags);
            request.CallerID = 1230;
            ASSERT_TRUE(client.Send(FrameBuilder(request).Body(c.body).Build()));
            const auto answer = client.Read();
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->Head.Type, c.expected);
            EXPECT_EQ(answer->Head.MessageID, request.MessageID);
            EXPECT_EQ(answer->Head.CallerID, 1230u);
            EXPECT_EQ(IdFieldText(answer->Head.TargetID), "asker");
        }
        // A status connection that asked all that may still register.
        EXPECT_TRUE(port == m_Server->CommandPort(1) || client.Listen("asker"));
    }
}

TEST_F(BusServerTest, PublishReachesTheSubscribersOfTheCommandOnlyAlsoAfterAReconnect) {
    RawClient client = Client();
    auto publish = [&](int32_t command, const char* text) {
        EXPECT_EQ(Request(client, HeadType::Message, "pub", "", command, text), HeadType::Reply);
    };
    RawClient a = Receiver("a");
    {
        RawClient b = Receiver("b");
        RawClient c = Receiver("c");
        // Subscriptions go to the command port of the receiver's bus server.
        EXPECT_EQ(Request(client, HeadType::Subscribe, "a", BUSServerID, 77), HeadType::Reply);
        EXPECT_EQ(Request(client, HeadType::Subscribe, "b", BUSServerID, 77), HeadType::Reply);
        EXPECT_EQ(Request(client, HeadType::Subscribe, "c", BUSServerID, 78), HeadType::Reply);
        publish(77, "for 77");
        publish(78, "for 78");
        ExpectBody(a, "for 77");
        ExpectBody(b, "for 77");
        // c's first message is the one for 78: it never saw the one for 77.
        ExpectBody(c, "for 78");
    }
    ASSERT_TRUE(Eventually([&] {
        RawClient probe = Client();
        return Request(probe, HeadType::Enquiry, "x", "b") == HeadType::Failed;
    }));
    // b's subscription outlives its connection.
    RawClient again = Receiver("b");
    publish(77, "still here");
    ExpectBody(again, "still here");
}

// The counters follow the traffic (the scrape case checks the others), and a stop logs them.
TEST_F(BusServerTest, RegisteringAgainReplacesTheOldConnectionAndAStopLogsTheCounters) {
    RawClient old = Receiver("dup");
    RawClient fresh = Receiver("dup", 0);
    EXPECT_TRUE(old.WaitClosed());
    RawClient client = Client();
    EXPECT_EQ(Request(client, HeadType::Message, "c", "dup", 1, "to the new one"), HeadType::Reply);
    ExpectBody(fresh, "to the new one");
    EXPECT_EQ(Request(client, HeadType::Message, "c", "nobody", 1, "lost"), HeadType::Failed);
    const busd::BusStats stats = m_Server->Stats();
    EXPECT_EQ(stats.FramesOutByType.at("SYNC"), 2u);
    EXPECT_EQ(stats.FramesOutByType.at("Failed"), 1u);
    EXPECT_EQ(stats.Drops, 1u);
    // A stop closes the receivers it still holds, and the same ports bind again at once.
    ORVEX::Log::LogCapture capture;
    Restart([](BusServerOptions&) {});
    EXPECT_TRUE(capture.HasFragment("busd: connections 0 open, 3 accepted, 2 registrations; "
                                    "frames in 4 (Listen 2, Message 2)"));
    EXPECT_TRUE(fresh.WaitClosed());
    RawClient again = Receiver("dup");
}

TEST_F(BusServerTest, ConcurrentSendsToOneReceiverArriveWholeAndApart) {
    RawClient receiver = Receiver("sink");
    constexpr int Senders = 4;
    auto blob = [](int sender) { return PatternBytes(300000, static_cast<uint32_t>(sender)); };
    std::vector<std::thread> threads;
    for (int i = 0; i < Senders; ++i) {
        threads.emplace_back([&, i] {
            const MessageHead head = Head(HeadType::Message, "s", "sink", i, HeadFlag::BLOB);
            const Bytes frame =
                FrameBuilder(head).Body("#" + std::to_string(i)).Blob(blob(i), 1000).Build();
            RawClient client = Client();
            // Written in small pieces so the frames are mid-way at the same time.
            for (size_t at = 0; at < frame.size(); at += 4096) {
                client.Send(frame.data() + at, std::min<size_t>(4096, frame.size() - at));
            }
            const auto reply = client.Read(Millis(10000));
            EXPECT_TRUE(reply && reply->Head.Type == HeadType::Reply);
        });
    }
    std::set<int> seen;
    for (int i = 0; i < Senders; ++i) {
        const auto got = receiver.Read(Millis(10000));
        ASSERT_TRUE(got) << "frame " << i;
        EXPECT_EQ(got->BodyText(), "#" + std::to_string(got->Head.Command));
        EXPECT_TRUE(got->Blob == blob(got->Head.Command));
        seen.insert(got->Head.Command);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(Senders));
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST_F(BusServerTest, FloodedReceiverIsStillReadWhileItsQueueIsFull) {
    Restart([](BusServerOptions& options) { options.MaxPendingBytes = 64 * 1024; });
    RawClient receiver = Receiver("flooded");
    constexpr int Messages = 16000;
    const Bytes post = FrameBuilder(Head(HeadType::Message, "c", "flooded", 6))
                           .RawBody(PatternBytes(1000))
                           .Build();
    std::thread client([&] {
        RawClient sender = Client();
        std::thread replies([&] {
            for (int i = 0; i < Messages; ++i) {
                ASSERT_TRUE(sender.Read(Millis(20000))) << "reply " << i;
            }
        });
        for (int i = 0; i < Messages; ++i) {
            ASSERT_TRUE(sender.Send(post));
        }
        replies.join();
    });
    // The receiver writes far more than the sockets hold before it reads anything, while its
    // queue at the server is full: the server must go on reading it.
    MessageHead stray = Head(HeadType::Ack, "flooded", "c");
    Bytes acks;
    for (int i = 0; i < 60000; ++i) {
        stray.MessageID = 0x7F000000u + static_cast<uint32_t>(i);
        Append(acks, FrameBuilder(stray).Body("ok").Build());
    }
    ASSERT_TRUE(receiver.Send(acks));
    for (int i = 0; i < Messages; ++i) {
        const auto got = receiver.Read(Millis(20000));
        ASSERT_TRUE(got) << "message " << i;
    }
    client.join();
}

TEST_F(BusServerTest, ReceiverThatNeverReadsIsCutAsASlowConsumer) {
    // Relays stop a few megabytes ahead of a receiver that drains; one that writes nothing
    // for a while may be filled to the pending limit, and is cut once it stays there.
    Restart([](BusServerOptions& options) {
        options.MaxPendingBytes = 12 << 20;
        options.SlowConsumerTimeoutMs = 1000;
    });
    RawClient receiver = Receiver("asleep");
    RawClient sender = Client();
    const Bytes post = FrameBuilder(Head(HeadType::Message, "s", "asleep", 6))
                           .RawBody(PatternBytes(1 << 20))
                           .Build();
    std::thread pusher([&] {
        for (int i = 0; i < 40 && sender.Send(post); ++i) {
        }
    });
    EXPECT_TRUE(Eventually([&] { return m_Server->Stats().ClosedByCause["slow_consumer"] == 1; },
                           Millis(20000)));
    // With the receiver gone the server reads the rest and fails each post.
    pusher.join();
}

TEST_F(BusServerTest, StalledSmallFrameHoldsNoReceiver) {
    RawClient receiver = Receiver("r");
    RawClient staller = Client();
    // A small BLOB in a thousand tiny chunks: once complete, its records outgrow what a small
    // frame is stored in, and the rest goes on cut-through.
    const Bytes slow = FrameBuilder(Head(HeadType::Message, "slow", "r", 1, HeadFlag::BLOB))
                           .Body("s")
                           .Blob(PatternBytes(3000), 1)
                           .Build();
    ASSERT_TRUE(staller.Send(slow.data(), 1000));
    ASSERT_TRUE(Eventually([&] { return m_Server->Stats().FramesInByType.count("Message") == 1; }));
    RawClient other = Client();
    EXPECT_EQ(Request(other, HeadType::Message, "other", "r", 2, "first"), HeadType::Reply);
    ExpectBody(receiver, "first");
    ASSERT_TRUE(staller.Send(slow.data() + 1000, slow.size() - 1000));
    const auto late = receiver.ReadRaw(slow.size());
    ASSERT_TRUE(late);
    EXPECT_TRUE(*late == slow);
}

TEST_F(BusServerTest, TricklingCutThroughFrameIsAbandonedWithTheReceiverItHeld) {
    Restart([](BusServerOptions& options) { options.StallTimeoutMs = 300; });
    RawClient receiver = Receiver("held");
    RawClient trickler = Client();
    MessageHead head = Head(HeadType::Message, "t", "held", 1, HeadFlag::BLOB);
    head.cbBLOB = UnknownBLOBSize;
    ASSERT_TRUE(trickler.Send(Concat({HeadBytes(head), PDVBytes(1 << 20)})));
    ASSERT_TRUE(receiver.ReadRaw(sizeof(MessageHead)));
    // A byte every few milliseconds keeps the connection from ever being idle.
    bool cut = false;
    for (int i = 0; i < 250 && !cut; ++i) {
        trickler.Send("x", 1);
        cut = receiver.WaitClosed(Millis(20));
    }
    EXPECT_TRUE(cut);
    EXPECT_TRUE(trickler.WaitClosed());
}

// With the receiver on its sender's CPU and the bus server on another, posts wait on the
// receiver's output to leave in bursts; the last few of a run leave when their time is up, not
// only when something else follows them.
TEST_F(BusServerTest, PostsHeldForABurstArriveAllAndInOrder) {
    if (std::thread::hardware_concurrency() < 2) {
        GTEST_SKIP() << "needs two CPUs";
    }
    struct Restore {
        cpu_set_t set;
        Restore() { sched_getaffinity(0, sizeof set, &set); }
        ~Restore() { sched_setaffinity(0, sizeof set, &set); }
    } restore;
    Pin(0);
    Pin(1, "busd");
    RawClient receiver = Receiver("near");
    RawClient sender = Client();
    constexpr int Posts = 40;
    for (int i = 0; i < Posts; ++i) {
        ASSERT_EQ(Request(sender, HeadType::Message, "s", "near", i, std::to_string(i).c_str()),
                  HeadType::Reply);
    }
    for (int i = 0; i < Posts; ++i) {
        ExpectBody(receiver, std::to_string(i));
    }
}

// The ack table keeps the newest sends of a receiver that never answers; once it goes away,
// the sends still waiting on it fail and the sender feeding it a frame is closed.
TEST_F(BusServerTest, AReceiverThatNeverAnswersAndThenGoesAway) {
    Restart([](BusServerOptions& options) { options.MaxPendingAcks = 4; });
    RawClient receiver = Receiver("mute");
    RawClient client = Client();
    std::vector<uint32_t> ids;
    for (int i = 0; i < 6; ++i) {
        MessageHead send = Head(HeadType::Message, "s", "mute", 1, HeadFlag::AckRequested);
        send.CallerID = 4;
        ids.push_back(send.MessageID);
        ASSERT_TRUE(client.Send(FrameBuilder(send).Body("x").Build()));
        ASSERT_EQ(client.Read()->Head.Type, HeadType::Reply);
        ASSERT_TRUE(receiver.Read());
    }
    // The two oldest were pushed out: late answers to them find nobody.
    for (const uint32_t id : {ids[0], ids[1], ids[2]}) {
        MessageHead ack = Head(HeadType::Ack, "mute", "s");
        ack.MessageID = id;
        ASSERT_TRUE(receiver.Send(FrameBuilder(ack).Build()));
    }
    const auto answer = client.Read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Head.MessageID, ids[2]);

    RawClient feeding = Client();
    MessageHead head = Head(HeadType::Message, "f", "mute", 1);
    head.cbBLOB = 1 << 20;
    ASSERT_TRUE(feeding.Send(Concat({HeadBytes(head), PDVBytes(1 << 20), PatternBytes(1000)})));
    ASSERT_TRUE(receiver.ReadRaw(sizeof(MessageHead)));
    receiver.Close();
    std::set<uint32_t> failed;
    for (int i = 0; i < 3; ++i) {
        const auto got = client.Read();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->Head.Type, HeadType::Failed);
        EXPECT_EQ(got->Head.CallerID, 4u);
        failed.insert(got->Head.MessageID);
    }
    EXPECT_EQ(failed, std::set<uint32_t>(ids.begin() + 3, ids.end()));
    EXPECT_TRUE(feeding.WaitClosed());
    EXPECT_TRUE(Eventually([&] { return m_Server->Stats().ClosedByCause["relay_broken"] == 1; }));
}

// The head and a first part had gone out: rather than hand the application a frame cut short,
// the receiver starts over on a new connection, whether its sender vanished or sent bad input.
TEST_F(BusServerTest, SenderBreakingOffMidFrameClosesTheReceiverItFedOnly) {
    RawClient bystander = Receiver("other");
    for (const bool badInput : {false, true}) {
        SCOPED_TRACE(badInput ? "bad input" : "vanished");
        RawClient receiver = Receiver("fed");
        RawClient sender = Client();
        MessageHead head = Head(HeadType::Message, "s", "fed", 1);
        // Cut short in a long body, or in a BLOB whose next chunk claims more than is left.
        (badInput ? head.cbBLOB : head.cbMessage) = 100000;
        ASSERT_TRUE(sender.Send(
            Concat({HeadBytes(head), badInput ? PDVBytes(8) : Bytes(), ToBytes("12345678")})));
        ASSERT_TRUE(receiver.ReadRaw(sizeof(MessageHead) + 8));
        if (badInput) {
            ASSERT_TRUE(sender.Send(PDVBytes(100000)));
            EXPECT_TRUE(sender.WaitClosed());
        } else {
            sender.Close();
        }
        EXPECT_TRUE(receiver.WaitClosed());
    }
    RawClient client = Client();
    EXPECT_EQ(Request(client, HeadType::Enquiry, "c", "other"), HeadType::Reply);
}

TEST_F(BusServerTest, SilentConnectionIsClosedAfterTheIdleTimeOut) {
    Restart([](BusServerOptions& options) { options.IdleTimeoutMs = 100; });
    RawClient silent = Client();
    RawClient talking = Client();
    EXPECT_EQ(Request(talking, HeadType::Enquiry, "t", "x"), HeadType::Failed);
    EXPECT_TRUE(silent.WaitClosed());
    EXPECT_EQ(m_Server->Stats().ClosedByCause["idle"], 1u);
    // A client that sent a frame keeps its connection between requests.
    EXPECT_EQ(Request(talking, HeadType::Enquiry, "t", "x"), HeadType::Failed);
}

// The frame rules themselves are FrameCodecTest's table; here one codec error (with the limit
// the options set) and the rules only the server knows, about registrations.
// Each case closes only its own connection and says why; everyone else carries on.
TEST_F(BusServerTest, BadInputClosesOnlyThatConnectionAndSaysWhy) {
    auto edited = [](void (*edit)(MessageHead&)) {
        MessageHead head = Head(HeadType::Message, "evil", "victim", 1);
        edit(head);
        return HeadBytes(head);
    };
    const Bytes listen = HeadBytes(Head(HeadType::Listen, "evil", ""));
    const struct {
        Bytes bytes;
        const char* reason;
        bool onStatusPort = false;
    } cases[] = {
        {edited([](MessageHead& h) { h.cbBLOB = 17 << 20; }),
         "frame of 17825792 bytes over the limit of 16777216"},
        {listen, "Listen on a command port"},
        {HeadBytes(Head(HeadType::Listen, "", "")), "Listen without a source id", true},
        {Concat({listen, listen}), "a second Listen on one connection", true},
    };
    RawClient victim = Receiver("victim");
    RawClient bystander = Client();
    uint64_t closed = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        ORVEX::Log::LogCapture capture;
        const int port = c.onStatusPort ? m_Server->StatusPort() : m_Server->CommandPort();
        RawClient evil(port);
        ASSERT_TRUE(evil.Send(c.bytes));
        EXPECT_TRUE(evil.WaitClosed());
        const std::string line = "busd: closing " + evil.PeerName() + " on " +
                                 (c.onStatusPort ? "status" : "command") + " port " +
                                 std::to_string(port) + ": " + c.reason;
        EXPECT_TRUE(Eventually([&] { return capture.Has(line); })) << line;
        EXPECT_EQ(m_Server->Stats().ClosedByCause["bad_input"], ++closed);

        EXPECT_EQ(Request(bystander, HeadType::Enquiry, "b", "victim"), HeadType::Reply);
        EXPECT_EQ(Request(bystander, HeadType::Message, "b", "victim", 2, "still fine"),
                  HeadType::Reply);
        ExpectBody(victim, "still fine");
    }
}
