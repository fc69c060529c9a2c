#pragma once

#include "tessary/protocol/shared/MessageHead.h"
#include "testkit/FrameBytes.h"
#include "testkit/Eventually.h"
#include "tests/support/LoopbackPeer.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace receivertest {

using namespace std::chrono_literals;

// A head as a bus server pushes it to a receiver: from sender, to the receiver, answer wanted.
inline MessageHead PushedHead(uint32_t type, int32_t command, const char* from = "Sender",
                              const char* to = "Me") {
    MessageHead head = Head(type, from, to, command, HeadFlag::AckRequested);
    head.CallerID = 77;
    return head;
}

inline Bytes PushedMessage(int32_t command, const char* text, const char* from = "Sender") {
    return FrameBuilder(PushedHead(HeadType::Message, command, from)).Body(text).Build();
}

// The frames a connection sent after its registration head.
inline std::vector<PeerFrame> Answers(const LoopbackPeer& peer, size_t connection = 0) {
    std::vector<PeerFrame> frames = peer.Frames(connection);
    if (!frames.empty() && frames.front().Head.Type == HeadType::Listen) {
        frames.erase(frames.begin());
    }
    return frames;
}

inline bool WaitForAnswers(const LoopbackPeer& peer, size_t count, size_t connection = 0) {
    return Eventually([&] { return Answers(peer, connection).size() >= count; });
}

} // namespace receivertest
