#include "tessary/receiver/MessageReceiver.h"

#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/internal/Command2String.h"
#include "tessary/receiver/internal/WaitMessageTask.h"
#include "tests/receiver/ReceiverTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Events.h"
#include "tests/support/RawFault.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace receivertest;
using ORVEX::Log::LogCapture;
using ORVEX::Tessary::Controller::MessageReceiver;
using ORVEX::Tessary::Controller::WaitMessageTask;

namespace {

// Opens the protected parts the tests look at; RelayMessage takes the commands in Taken.
class ProbeReceiver : public MessageReceiver {
public:
    ~ProbeReceiver() override { StopWait(); }

    void UseBusServers(int statusPort, int count) {
        StatusPort = statusPort;
        NbOfBUSServer = count;
    }
    WaitMessageTask* Task() const { return WaitTask; }
    void NoResponse(EventArgs_BUSMessage* e) { OnMessageNoResponse(nullptr, e); }

    std::vector<unsigned long> Taken;

protected:
    bool RelayMessage(unsigned long command, const void*, EventArgs_BUSMessage* e) override {
        for (unsigned long taken : Taken) {
            if (taken == command) {
                e->ReplyText = "relayed";
                return true;
            }
        }
        return false;
    }
};

class ReceiverTest : public ::testing::Test {
protected:
    void StartOn(int count) {
        m_Peers = LoopbackPeer::OpenSeries(count, 2);
        m_Receiver->UseBusServers(m_Peers[0]->Port(), count);
        m_Receiver->SetSourceID("Me");
        m_Receiver->StartWait();
        for (const auto& peer : m_Peers) {
            ASSERT_TRUE(peer->WaitForFrames(1)) << "no registration on " << peer->Port();
        }
    }

    LogCapture m_Log;
    std::unique_ptr<ProbeReceiver> m_Receiver = std::make_unique<ProbeReceiver>();
    std::vector<std::unique_ptr<LoopbackPeer>> m_Peers;
};

// Before StartWait a unique source id can be asked for, the settings are kept for the start,
// and the requests to a bus fail; the no-response answer is on the table.
TEST_F(ReceiverTest, BeforeStartWaitSettingsWaitAndRequestsFail) {
    // A unique source id comes from the command port below the status port, or is the one
    // asked for when nobody answers.
    EXPECT_EQ(std::string(m_Receiver->SetUniqueSourceID("Nobody")), "Nobody");
    EXPECT_EQ(std::string(m_Receiver->GetSourceID()), "Nobody");

    auto peers = LoopbackPeer::OpenSeries(2, 1);
    peers[0]->SetResponder([](LoopbackPeer& peer, size_t connection, const PeerFrame& frame) {
        MessageHead reply = AnswerHead(frame.Head, HeadType::Reply);
        reply.SetTargetID("Me#2");
        peer.Send(FrameBuilder(reply).Build(), connection);
    });
    m_Receiver->UseBusServers(peers[1]->Port(), 1);
    EXPECT_EQ(std::string(m_Receiver->SetUniqueSourceID("Me")), "Me#2");
    const MessageHead request = peers[0]->Frames()[0].Head;
    EXPECT_EQ(request.Type, HeadType::UniqueSourceID);
    EXPECT_EQ(request.CallerID, 9870u);
    EXPECT_EQ(IdFieldText(request.SourceID), "Me");

    EXPECT_FALSE(m_Receiver->SetTcpNoDelay(true));
    EXPECT_TRUE(m_Receiver->SetTcpNoDelay(true));

    EXPECT_FALSE(m_Receiver->IsStarted());
    m_Receiver->SetSourceID("Me");
    EXPECT_FALSE(m_Receiver->Subscribe(100, 5000));
    EXPECT_TRUE(m_Log.HasFragment("] Leave Subscribe, <Me> <--- 100 (" +
                                  std::string(Command2String::Lookup(100)) + ")"));
    EXPECT_TRUE(m_Log.Has("StartWait should be invoked before Subscribe !"));
    EXPECT_FALSE(m_Receiver->BUSSetting(6001, "Key", "Value"));
    EXPECT_TRUE(m_Log.HasFragment("]Leave BaseReceiver.BUSSetting due to StartWait is not invoked !"));
    EXPECT_EQ(m_Receiver->SetSocketOption(0, 0, nullptr, 0), 0);
    EXPECT_TRUE(
        m_Log.HasFragment("]Leave BaseReceiver.SetSocketOption due to StartWait is not invoked !"));

    // The no-response answer is on the table from the start; its text is the one the BLOB
    // receiver's end-to-end case checks.
    m_Receiver->NoResponse(nullptr);
    EventArgs_BUSMessage raised(43, "Sender", "Me", "", WString(), 6);
    m_Receiver->MessageEvent.NoResponse.Fire(nullptr, &raised);
    EXPECT_EQ(raised.ResultCode, 1);
    EXPECT_TRUE(m_Log.HasFragment("OnMessageNoResponse <Sender> --> <Me> of <43 ("));
}

// Messages go to the hook first, then to the table's entries in order; a BLOB, which no table
// of this receiver takes, is acknowledged empty. An entry that faults ends the table's run for
// that message (throwing ones are the delegate's business): the answer written before the fault
// still goes out and the receiver carries on.
TEST_F(ReceiverTest, MessagesGoToTheHookThenToTheTableWhichSurvivesAFault) {
    std::atomic<int> calls{0};
    std::atomic<int> faults{0};
    m_Receiver->Taken = {7};
    m_Receiver->MessageEvent.Add(8, Handler([&](const void*, EventArgs_BUSMessage* e) {
        ++calls;
        e->ReplyText = "a";
    }));
    m_Receiver->MessageEvent.Add(9, Handler([&](const void*, EventArgs_BUSMessage*) { ++calls; }));
    m_Receiver->MessageEvent.Add(8, Handler([&](const void*, EventArgs_BUSMessage* e) {
        ++calls;
        e->ReplyText += "b";
    }));
    m_Receiver->MessageEvent.Add(11, Handler([&](const void*, EventArgs_BUSMessage* e) {
        e->ReplyText = "before the fault";
        if (faults++ == 0) {
            DereferenceNull();
        }
    }));
    m_Receiver->MessageEvent.Add(11, Handler([&](const void*, EventArgs_BUSMessage*) { ++calls; }));
    StartOn(1);
    LoopbackPeer& bus = *m_Peers[0];
    MessageHead blob = PushedHead(HeadType::Message, 9);
    blob.Flags |= HeadFlag::BLOB;
    bus.Send(PushedMessage(7, "hook"));
    bus.Send(PushedMessage(8, "table"));
    bus.Send(PushedMessage(10, "nobody"));
    bus.Send(FrameBuilder(blob).Body("b").Blob(PatternBytes(10)).Build());
    bus.Send(PushedMessage(11, "fault"));
    ASSERT_TRUE(WaitForAnswers(bus, 5));
    EXPECT_EQ(calls.load(), 2) << "an entry after the faulting one ran";
    bus.Send(PushedMessage(11, "again"));
    ASSERT_TRUE(WaitForAnswers(bus, 6));
    const std::vector<PeerFrame> answers = Answers(bus);
    const char* texts[] = {"relayed", "ab", "", "", "before the fault", "before the fault"};
    for (size_t i = 0; i < std::size(texts); ++i) {
        EXPECT_EQ(answers[i].Head.Type, HeadType::Ack) << i;
        EXPECT_EQ(answers[i].BodyText(), texts[i]) << i;
    }
    EXPECT_EQ(calls.load(), 3);
    EXPECT_EQ(bus.ConnectionCount(), 1u);
    EXPECT_TRUE(m_Log.Has("Enter BaseReceiver.OnDummy for 9"));
    EXPECT_TRUE(m_Log.Has("Exception catched at MessageReceiver::OnMessageRelay"));
}

// A head announcing lengths, followed by a few bytes of what it announced.
Bytes Announcing(FrameBuilder frame, const Bytes& after) {
    Bytes bytes = frame.Build();
    bytes.resize(sizeof(MessageHead));
    Append(bytes, after);
    return bytes;
}

TEST_F(ReceiverTest, AnnouncedLengthsCostOnlyWhatArrivesAndOverTheLimitOneReconnect) {
    constexpr int32_t Limit = 1 << 30;
    std::atomic<int> fired{0};
    m_Receiver->MessageEvent.Add(8, Handler([&](const void*, EventArgs_BUSMessage* e) {
        ++fired;
        e->ReplyText = "fine";
    }));
    m_Receiver->SetMaxFrameBytes(Limit);
    StartOn(1);
    LoopbackPeer& bus = *m_Peers[0];
    std::ofstream("/proc/self/clear_refs") << "5"; // the peak read below is this test's own
    const long peakBefore = StatusKB(getpid(), "VmHWM");

    // Each announces the whole limit, brings a few bytes and then its connection ends: a body
    // (fired with what came), a known-size BLOB, a streamed BLOB's chunk.
    MessageHead blob = PushedHead(HeadType::Message, 9);
    blob.Flags |= HeadFlag::BLOB;
    Bytes chunk = PDVBytes(Limit, false);
    Append(chunk, ToBytes("ab"));
    const Bytes cut[] = {
        Announcing(FrameBuilder(PushedHead(HeadType::Message, 8)).CbMessage(Limit), ToBytes("abc")),
        Announcing(FrameBuilder(blob).CbBLOB(Limit), chunk),
        Announcing(FrameBuilder(blob).CbBLOB(UnknownBLOBSize), chunk),
    };
    for (size_t connection = 0; connection < std::size(cut); ++connection) {
        bus.Send(cut[connection], connection);
        bus.Close(connection);
        ASSERT_TRUE(bus.WaitForFrames(1, connection + 1)) << "no new connection";
    }
    EXPECT_LT(StatusKB(getpid(), "VmHWM") - peakBefore, 64 * 1024) << "kB committed";
    EXPECT_TRUE(m_Log.Has("Leave NetRead, BUS Protocol error, cbRead < cbMessage"));

    // One byte more than the limit is refused unread, and the receiver itself renews the
    // connection at once instead of waiting for bytes that never come.
    bus.Send(Announcing(FrameBuilder(PushedHead(HeadType::Message, 8)).CbMessage(Limit + 1), {}),
             3);
    ASSERT_TRUE(bus.WaitForFrames(1, 4));
    EXPECT_TRUE(m_Log.Has("Leave NetRead, BUS Protocol error, frame of 1073741825 bytes over the "
                          "limit of 1073741824"));
    bus.Send(PushedMessage(8, "valid"), 4);
    ASSERT_TRUE(WaitForAnswers(bus, 1, 4));
    EXPECT_EQ(Answers(bus, 4)[0].BodyText(), "fine");
    EXPECT_EQ(fired.load(), 2) << "the cut body and the valid message; never the refused one";
}

// One wait server per bus server, on every second port, named after the task; the servers'
// events carry the port and go on after a faulting handler; a stop ends the task at once.
TEST_F(ReceiverTest, OneWaitServerPerBusServerWhoseEventsCarryItsPort) {
    std::atomic<int> offline{0};
    std::atomic<int> elsewhere{0};
    std::atomic<int> online{0};
    std::atomic<int> heartbeats{0};
    // The peers are in place before the receiver starts, and outlive it.
    m_Receiver->ServerOfflineEvent.Add(C11DelegateHandler<EventArgs_Int>(
        [&](const void*, EventArgs_Int* e) {
            elsewhere += e->Value != m_Peers[1]->Port() ? 1 : 0;
            ++offline;
        }));
    m_Receiver->ServerOfflineEvent.Add(
        C11DelegateHandler<EventArgs_Int>([](const void*, EventArgs_Int*) { DereferenceNull(); }));
    m_Receiver->ServerOnlineEvent.Add(C11DelegateHandler<EventArgs_Int>(
        [&](const void*, EventArgs_Int* e) { online = e->Value; }));
    m_Receiver->HeartbeatEvent.Add(
        C11DelegateHandler<EventArgs_Null>([&](const void*, EventArgs_Null* e) {
            EXPECT_EQ(e, nullptr);
            ++heartbeats;
        }));
    StartOn(2);
    WaitMessageTask* task = m_Receiver->Task();
    ASSERT_NE(task, nullptr);
    ASSERT_EQ(task->Servers().size(), 2u);
    const std::string taskName = task->GetName();
    EXPECT_EQ(taskName.rfind("WaitTask.", 0), 0u);
    EXPECT_NE(taskName.find("<Me>"), std::string::npos);
    for (size_t i = 0; i < 2; ++i) {
        const int port = m_Peers[0]->Port() + 2 * static_cast<int>(i);
        EXPECT_EQ(task->Servers()[i]->StatusPort, port);
        const std::string name = task->Servers()[i]->GetName();
        EXPECT_EQ(name, taskName + "@" + std::to_string(port));
    }
    // Nobody answers the subscriptions, and still the receiver says yes.
    EXPECT_TRUE(m_Receiver->Subscribe(100, 1000));
    EXPECT_EQ(m_Receiver->SetSocketOption(0, 0, nullptr, 0), 1);
    LoopbackPeer& second = *m_Peers[1];
    second.Send(PushedMessage(FixedCommand::ServerOnline, ""));
    second.Send(FrameBuilder(PushedHead(HeadType::Heartbeat, 0, "__BUSServer")).Build());
    ASSERT_TRUE(Eventually([&] { return heartbeats.load() == 1; }));
    EXPECT_EQ(online.load(), second.Port());

    second.StopListening();
    second.Close(0);
    ASSERT_TRUE(Eventually([&] { return offline.load() >= 3; }, 3000ms))
        << "off-line reports stopped after a faulting handler";
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_TRUE(m_Log.Has("Exception catched at BaseReceiver::OnServerOfflineRelay"));

    const auto begin = std::chrono::steady_clock::now();
    m_Receiver->StopWait();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms);
    EXPECT_TRUE(m_Receiver->IsStarted());
    EXPECT_TRUE(m_Peers[0]->WaitForClientClose());
    // The handlers use this test's locals.
    m_Receiver.reset();
}

TEST_F(ReceiverTest, AHandlerMayRestartOrDestroyItsReceiver) {
    std::atomic<int> restarts{0};
    m_Receiver->MessageEvent.Add(8, Handler([&](const void*, EventArgs_BUSMessage*) {
        m_Receiver->StartWait();
        ++restarts;
    }));
    std::atomic<bool> destroyed{false};
    m_Receiver->ServerOnlineEvent.Add(C11DelegateHandler<EventArgs_Int>([&](const void*,
                                                                            EventArgs_Int*) {
        m_Receiver.reset();
        destroyed = true;
    }));
    StartOn(2);
    m_Peers[0]->Send(PushedMessage(8, "restart"));
    // The new wait task registers again on both bus servers.
    ASSERT_TRUE(m_Peers[0]->WaitForFrames(1, 1));
    ASSERT_TRUE(m_Peers[1]->WaitForFrames(1, 1));
    // Operations on one receiver come one at a time: the restart has returned before the
    // receiver goes.
    ASSERT_TRUE(Eventually([&] { return restarts.load() == 1; }));
    m_Peers[1]->Send(PushedMessage(FixedCommand::ServerOnline, "destroy"), 1);
    ASSERT_TRUE(Eventually([&] { return destroyed.load(); }));
    EXPECT_TRUE(m_Peers[0]->WaitForClientClose(1));
    // The handler's own thread finishes its answer after the receiver has gone.
    EXPECT_TRUE(m_Peers[1]->WaitForClientClose(1));
}

} // namespace
