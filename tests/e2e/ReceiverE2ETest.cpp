#include "tessary/client/MessageClient.h"
#include "tessary/receiver/MessageReceiver.h"
#include "tests/support/BusClient.h"
#include "tests/support/EmbeddedBus.h"
#include "tests/support/Eventually.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

using ORVEX::Tessary::Controller::MessageClient;
using ORVEX::Tessary::Controller::MessageReceiver;
using namespace std::chrono_literals;

namespace {

constexpr int BusCount = 4;
constexpr int EchoCommand = 8;

class EchoReceiver : public MessageReceiver {
public:
    EchoReceiver() {
        MessageEvent.Add(EchoCommand, C11DelegateHandler<EventArgs_BUSMessage>(
                                          [](const void*, EventArgs_BUSMessage* e) {
                                              if (e->WMessage.GetLength() > 0) {
                                                  e->WReplyText = WString(u"echo:");
                                                  e->WReplyText += e->WMessage;
                                              } else {
                                                  e->ReplyText = "echo:" + e->Message;
                                              }
                                          }));
    }
    ~EchoReceiver() override { StopWait(); }

    void UseBus(int statusPort, int count) {
        StatusPort = statusPort;
        NbOfBUSServer = count;
    }
};

// Four bus servers in this process on free ports, an echoing receiver registered on all of
// them, and a client whose connections rotate over their command ports.
class ReceiverE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        m_Bus = StartBus(m_Options);
        ASSERT_TRUE(m_Bus);
        m_Options.CommandPort = m_Bus->CommandPort();
        m_Options.StatusPort = m_Bus->StatusPort();

        m_Receiver.ServerOnlineEvent.Add(C11DelegateHandler<EventArgs_Int>(
            [this](const void*, EventArgs_Int*) { ++m_Online; }));
        m_Receiver.ServerOfflineEvent.Add(C11DelegateHandler<EventArgs_Int>(
            [this](const void*, EventArgs_Int*) { ++m_Offline; }));
        m_Receiver.UseBus(m_Bus->StatusPort(), BusCount);
        m_Receiver.SetSourceID("rx");
        m_Receiver.StartWait();
        ASSERT_TRUE(Eventually([this] { return m_Online.load() >= BusCount; }))
            << "not every bus server announced itself";

        m_Client.UseBus(m_Bus->CommandPort(), BusCount);
        m_Client.SetSourceID("tx");
    }

    void TearDown() override {
        m_Receiver.StopWait();
        m_Client.Close();
        if (m_Bus) {
            m_Bus->Stop();
        }
    }

    // One send per bus server at least: successive connections rotate over the ports.
    void ExpectEchoes(const char* text) {
        for (int i = 0; i < BusCount; ++i) {
            DString reply;
            ASSERT_TRUE(m_Client.Send("rx", EchoCommand, text, reply, 5000)) << "send " << i;
            EXPECT_EQ(std::string(reply), std::string("echo:") + text);
            m_Client.Close();
        }
    }

    busd::BusServerOptions m_Options = BusOptions(BusCount);
    std::unique_ptr<busd::BusServer> m_Bus;
    EchoReceiver m_Receiver;
    BusClient<MessageClient> m_Client;
    std::atomic<int> m_Online{0};
    std::atomic<int> m_Offline{0};
};

TEST_F(ReceiverE2ETest, TheReceiverSurvivesARestartOfTheBusServers) {
    ExpectEchoes("before");
    m_Bus->Stop();
    m_Bus.reset();
    ASSERT_TRUE(Eventually([this] { return m_Offline.load() >= BusCount; }))
        << "the lost connections were not reported";

    const int online = m_Online.load();
    m_Bus = StartBus(m_Options);
    ASSERT_TRUE(m_Bus) << "ports of the first run could not be bound again";
    ASSERT_TRUE(Eventually([&] { return m_Online.load() >= online + BusCount; }, 4000ms))
        << "the receiver did not register again";
    ExpectEchoes("after");
}

} // namespace
