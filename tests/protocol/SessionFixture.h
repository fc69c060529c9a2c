#pragma once

#include "tessary/external/internal/LogCapture.h"
#include "tessary/protocol/internal/BUSSendPDU.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/Events.h"

#include <gtest/gtest.h>

#include <vector>

// A connection's stream to a loopback peer.
class StreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(stream.Connect(LoopbackPeer::Host, peer.Port()));
        ASSERT_TRUE(peer.WaitForConnections(1));
    }

    LoopbackPeer peer;
    NetBuffer stream;
};

// A send session connected to a loopback peer that records every frame, with the log captured
// and the session's error events collected.
class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        Collect(pdu.PDUError, errors);
        ASSERT_TRUE(pdu.Connect(LoopbackPeer::Host, peer.Port()));
        ASSERT_TRUE(peer.WaitForConnections(1));
    }

    PeerFrame OnlyFrame() {
        EXPECT_TRUE(peer.WaitForFrames(1));
        const auto frames = peer.Frames();
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? PeerFrame(MessageHead(0)) : frames[0];
    }

    // Declared before the session so that they outlive it.
    ORVEX::Log::LogCapture log;
    std::vector<SeenError> errors;
    LoopbackPeer peer;
    BUSSendPDU pdu;
};
