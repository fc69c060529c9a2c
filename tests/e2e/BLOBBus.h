#pragma once

#include "tessary/client/BLOBClient.h"
#include "tessary/client/BLOBStreamClient.h"
#include "tessary/client/MessageClient.h"
#include "tessary/receiver/BLOBReceiver.h"
#include "tests/e2e/Pattern.h"
#include "testkit/BusClient.h"
#include "testkit/EmbeddedBus.h"
#include "testkit/Eventually.h"
#include "tests/support/Events.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace blobtest {

using ORVEX::Tessary::Controller::BLOBClient;
using ORVEX::Tessary::Controller::BLOBReceiver;
using ORVEX::Tessary::Controller::BLOBStreamClient;
using ORVEX::Tessary::Controller::BUSStream;
using ORVEX::Tessary::Controller::MessageClient;

// Uneven chunk lengths, zero-length writes among them, taken in turn until a streamed BLOB is
// written, and then to the end of the list, so that the last writes are empty.
inline constexpr size_t StreamChunks[] = {1, 0, 4095, 7, 0, 32769, 65536, 3, 1 << 20, 100000, 0};

// A writer of total bytes of the pattern of seed in the chunks above; counts its calls.
inline BLOBStreamClient::Writer PatternWriter(size_t total, uint64_t seed = 3,
                                              std::shared_ptr<std::atomic<int>> calls = nullptr) {
    return [total, seed, calls](BUSStream stream) {
        if (calls) {
            ++*calls;
        }
        constexpr size_t count = sizeof StreamChunks / sizeof StreamChunks[0];
        std::vector<unsigned char> chunk;
        size_t written = 0;
        for (size_t i = 0; written < total || i % count != 0; ++i) {
            const size_t n = std::min(StreamChunks[i % count], total - written);
            chunk.resize(n);
            FillPattern(chunk.data(), n, seed, written);
            stream.Write(chunk.data(), static_cast<int>(n));
            written += n;
        }
    };
}

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

// Bus servers of this process on free ports, with a BLOBReceiver "rx" registered on every one
// of them and the three senders spread over them. Handlers are added by each test, then
// StartReceiver.
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
        messageClient.UseBus(server->CommandPort(), BusCount);
        messageClient.SetSourceID("mtx");
        Collect(blobClient.AckError, ackErrors);
        Collect(streamClient.AckError, ackErrors);
        Collect(messageClient.AckError, ackErrors);
        Collect(messageClient.BusError, busErrors);
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
    // Handlers record from the wait servers' threads.
    void Record(const char* table, const EventArgs_BUSMessage& e, const Block& blob) {
        std::lock_guard<std::mutex> lock(mutex);
        deliveries.push_back({table, e.Command, e.SourceID.str(), e.Message.str(),
                              e.WMessage.str(), blob});
    }
    std::vector<Delivery> Deliveries() {
        std::lock_guard<std::mutex> lock(mutex);
        return deliveries;
    }

    // Declared so that the receiver goes first (stopping its threads before the handlers'
    // records and the bus server go) and the error lists last.
    std::vector<SeenError> ackErrors;
    std::vector<SeenError> busErrors;
    std::mutex mutex;
    std::vector<Delivery> deliveries;
    std::unique_ptr<busd::BusServer> server;
    BusClient<BLOBClient> blobClient;
    BusClient<BLOBStreamClient> streamClient;
    BusClient<MessageClient> messageClient;
    TestReceiver receiver;
};

} // namespace blobtest
