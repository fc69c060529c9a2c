// The umbrella header first: it must stand on its own and bring every class used here.
#include "tessary/Tessary.h"

#include "server/BusServer.h"
#include "tessary/setup/internal/Configuration.h"
#include "tests/e2e/BLOBBus.h"

#include <gtest/gtest.h>

#include <type_traits>

using namespace blobtest;
using ORVEX::Tessary::Controller::Client;
using ORVEX::Tessary::Controller::FixedBLOBClient;
using ORVEX::Tessary::Controller::FixedBLOBReceiver;
using ORVEX::Tessary::Controller::FixedMessageClient;
using ORVEX::Tessary::Controller::FixedMessageReceiver;

namespace {

// Starts receiver as name, answering every message and BLOB of command 7301 with that name.
template <typename Receiver> void StartAs(Receiver& receiver, const char* name) {
    receiver.SetSourceID(name);
    receiver.MessageEvent.Add(7301, Handler([name](const void*, EventArgs_BUSMessage* e) {
                                  e->ReplyText = name;
                              }));
    if constexpr (std::is_base_of_v<BLOBReceiver, Receiver>) {
        receiver.BLOBEvent.Add(7301, Handler([name](const void*, EventArgs_BUSMessage* e) {
                                   e->ReplyText = name;
                               }));
    }
    receiver.StartWait();
}

} // namespace

// Bus "fixed" is reached only by the fixed clients and receivers; bus "plain" is what the
// process configuration names, and what plain clients and receivers made after the fixed ones
// still use.
TEST(FixedE2ETest, FixedPairsUseTheirOwnBusAndLeaveTheDefaultsToTheRest) {
    Client::Prepare();
    auto fixedBus = StartBus(BusOptions(2));
    auto plainBus = StartBus(BusOptions(1));
    ASSERT_TRUE(fixedBus && plainBus);
    Configuration::SetDefaults(plainBus->CommandPort(), plainBus->StatusPort(),
                               plainBus->NbOfBUSServer());

    FixedBLOBReceiver fixedBLOBs(fixedBus->StatusPort(), 2);
    FixedMessageReceiver fixedMessages(fixedBus->StatusPort(), 2);
    FixedBLOBClient fixedBLOBClient(fixedBus->CommandPort(), 2);
    FixedMessageClient fixedMessageClient(fixedBus->CommandPort(), 2);
    BLOBReceiver plainReceiver;
    BLOBClient plainClient;
    EXPECT_EQ(Client::GetDefCommandPort(), plainBus->CommandPort());
    EXPECT_EQ(Client::GetDefStatusPort(), plainBus->StatusPort());

    StartAs(fixedBLOBs, "fixedBLOBs");
    StartAs(fixedMessages, "fixedMessages");
    StartAs(plainReceiver, "plain");
    ASSERT_TRUE(Eventually([&] {
        return fixedBus->Stats().Registrations == 4 && plainBus->Stats().Registrations == 1;
    })) << "fixed: " << fixedBus->Stats().Registrations
        << ", plain: " << plainBus->Stats().Registrations;

    DString reply;
    EXPECT_TRUE(fixedBLOBClient.SendBLOB("fixedBLOBs", 7301, DString(), Pattern(10, 1), reply,
                                         5000));
    EXPECT_EQ(reply, DString("fixedBLOBs"));
    EXPECT_TRUE(fixedBLOBClient.Send("fixedMessages", 7301, DString(), reply, 5000));
    EXPECT_EQ(reply, DString("fixedMessages"));
    EXPECT_TRUE(fixedMessageClient.Send("fixedBLOBs", 7301, DString(), reply, 5000));
    EXPECT_EQ(reply, DString("fixedBLOBs"));
    EXPECT_FALSE(fixedMessageClient.IsOnline("plain"));

    EXPECT_TRUE(plainClient.SendBLOB("plain", 7301, DString(), Pattern(10, 1), reply, 5000));
    EXPECT_EQ(reply, DString("plain"));
    EXPECT_FALSE(plainClient.IsOnline("fixedBLOBs"));

    Configuration::SetDefaults(Configuration::DefaultCommandPort, Configuration::DefaultStatusPort,
                               Configuration::DefaultNbOfBUSServer);
}
