#pragma once

#include "tessary/client/MessageClient.h"
#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/internal/BUSNetPDUProxy.h"
#include "testkit/BusClient.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/Events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Answers every frame as a bus server with a target behind it would: Reply (or refuse) to the
// frame, then, when it asks for one, an Ack carrying ackBody.
inline LoopbackPeer::Responder BusWithTarget(std::string ackBody = "", uint32_t answer = HeadType::Reply) {
    return [ackBody, answer](LoopbackPeer& peer, size_t connection, const PeerFrame& frame) {
        Answering(answer)(peer, connection, frame);
        if (answer == HeadType::Reply && frame.Head.Type == HeadType::Message &&
            frame.Head.HasFlag(HeadFlag::AckRequested)) {
            MessageHead ack = AnswerHead(frame.Head, HeadType::Ack);
            ack.Command = 0;
            peer.Send(FrameBuilder(ack).Body(ackBody).Build(), connection);
        }
    };
}

template <typename Base> class ClientTestBase : public ::testing::Test {
protected:
    // The peer is a bus server with a target behind it unless a case says otherwise.
    void SetUp() override {
        peer.SetResponder(BusWithTarget());
        client.UseBus(peer.Port(), 1);
        client.SetSourceID("me");
        Collect(client.BusError, busErrors);
    }
    std::string Tag() const { return client.Tag(); }

    // Declared before the client so that they outlive it.
    ORVEX::Log::LogCapture log;
    std::vector<SeenError> busErrors;
    LoopbackPeer peer;
    BusClient<Base> client;
};
