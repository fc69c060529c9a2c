#pragma once

#include "tessary/receiver/BLOBReceiver.h"
#include "tests/e2e/BLOBBus.h"
#include "tests/support/SeenErrors.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace blobtest {

using ORVEX::Tessary::Controller::BLOBReceiver;

// A BLOBReceiver whose hooks the test can set (before StartWait), and that opens the
// no-response answers to them.
class TestReceiver : public BLOBReceiver {
public:
    using MessageHook = std::function<bool(TestReceiver&, unsigned long, EventArgs_BUSMessage*)>;
    using BLOBHook = std::function<bool(TestReceiver&, unsigned long, EventArgs_BUSBLOB*)>;

    ~TestReceiver() override { StopWait(); }

    void UseBus(int statusPort, int count) {
        StatusPort = statusPort;
        NbOfBUSServer = count;
    }
    void MessageNoResponse(EventArgs_BUSMessage* e) { OnMessageNoResponse(nullptr, e); }
    void BLOBNoResponse(EventArgs_BUSBLOB* e) { OnBLOBNoResponse(nullptr, e); }

    MessageHook RelayMessageHook;
    BLOBHook RelayBLOBHook;
    // Counts the calls of OnBLOBNoResponse, to show that an override is what runs.
    int BLOBNoResponseCalls = 0;

protected:
    bool RelayMessage(unsigned long command, const void*, EventArgs_BUSMessage* e) override {
        return RelayMessageHook && RelayMessageHook(*this, command, e);
    }
    bool RelayBLOB(unsigned long command, const void*, EventArgs_BUSBLOB* e) override {
        return RelayBLOBHook && RelayBLOBHook(*this, command, e);
    }
    void OnBLOBNoResponse(const void* sender, EventArgs_BUSBLOB* e) override {
        ++BLOBNoResponseCalls;
        BLOBReceiver::OnBLOBNoResponse(sender, e);
    }
};

// What a handler saw of one message or BLOB; the BLOB shares the received block.
struct Delivery {
    std::string Table;
    unsigned long Command = 0;
    std::string SourceID;
    std::string Message;
    std::u16string WMessage;
    Block BLOB;
};

// Handlers record into this from the wait servers' threads.
class Deliveries {
public:
    void Add(Delivery delivery) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_All.push_back(std::move(delivery));
    }
    std::vector<Delivery> All() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_All;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_All.size();
    }

private:
    mutable std::mutex m_Mutex;
    std::vector<Delivery> m_All;
};

inline C11DelegateHandler<EventArgs_BUSMessage>
Handler(std::function<void(const void*, EventArgs_BUSMessage*)> function) {
    return C11DelegateHandler<EventArgs_BUSMessage>(std::move(function));
}

// Bus servers of this process on free ports, with a BLOBReceiver "rx" registered on every one
// of them and senders spread over them. Handlers are added by each test, then StartReceiver.
class BLOBBusTest : public ::testing::Test {
protected:
    static constexpr int BusCount = 2;

    void SetUp() override {
        server = StartBus(BusOptions(BusCount));
        ASSERT_TRUE(server);
        receiver.UseBus(server->StatusPort(), BusCount);
        receiver.SetSourceID("rx");
        blobClient.UseBus(server->CommandPort(), BusCount);
        blobClient.SetSourceID("tx");
        streamClient.UseBus(server->CommandPort(), BusCount);
        streamClient.SetSourceID("stx");
        Collect(blobClient.AckError, ackErrors);
        Collect(streamClient.AckError, ackErrors);
    }
    // Starts the receiver and waits until every bus server has it registered.
    void StartReceiver() {
        const uint64_t before = server->Stats().Registrations;
        receiver.StartWait();
        ASSERT_TRUE(Eventually([&] { return server->Stats().Registrations >= before + BusCount; }))
            << "the receiver did not register on every bus server";
    }

    // A BLOBEvent entry for command that records what arrives and answers with the reply
    // text "got <bytes>" and a reply BLOB of replyBytes (seed 2) bytes.
    void AnswerBLOBs(unsigned long command, size_t replyBytes = 0) {
        receiver.BLOBEvent.Add(static_cast<int>(command),
                               Handler([this, replyBytes](const void*, EventArgs_BUSMessage* m) {
                                   auto* e = static_cast<EventArgs_BUSBLOB*>(m);
                                   Record("BLOB", *e, e->BLOB);
                                   e->ReplyText = "got " + std::to_string(e->BLOB.Length());
                                   e->ReplyBLOB = Pattern(replyBytes, 2);
                               }));
    }
    void AnswerMessages(unsigned long command) {
        receiver.MessageEvent.Add(static_cast<int>(command),
                                  Handler([this](const void*, EventArgs_BUSMessage* e) {
                                      Record("Message", *e, Block());
                                      e->ReplyText = "message";
                                  }));
    }
    void Record(const char* table, const EventArgs_BUSMessage& e, const Block& blob) {
        deliveries.Add({table, e.Command, e.SourceID.str(), e.Message.str(), e.WMessage.str(),
                        blob});
    }

    // Declared so that the receiver goes first (stopping its threads before the handlers'
    // records and the bus server go) and the error lists last.
    std::vector<SeenError> ackErrors;
    Deliveries deliveries;
    std::unique_ptr<busd::BusServer> server;
    BusClient<BLOBClient> blobClient;
    BusClient<BLOBStreamClient> streamClient;
    TestReceiver receiver;
};

} // namespace blobtest
