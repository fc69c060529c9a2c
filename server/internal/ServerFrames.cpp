#include "server/internal/ServerFrames.h"

#include <cstring>

namespace busd {

std::string HeadOnlyFrame(const MessageHead& head) {
    const Tail tail;
    std::string bytes(sizeof head + sizeof tail, '\0');
    std::memcpy(bytes.data(), &head, sizeof head);
    std::memcpy(bytes.data() + sizeof head, &tail, sizeof tail);
    return bytes;
}

MessageHead ServerHead(uint32_t type, const char* targetId) {
    MessageHead head(type);
    head.TickCount = TickCount32();
    head.SetSourceID(BUSServerID);
    head.SetTargetID(targetId);
    return head;
}

MessageHead ReplyHead(uint32_t type, const MessageHead& request) {
    MessageHead head = AnswerHead(request, type, BUSServerID);
    // The bus server's own answer says nothing through the request's flags and value.
    head.Flags = 0;
    head.Value = 0;
    return head;
}

std::string SyncFrame(int heartRateMs, const char* targetId) {
    MessageHead head = ServerHead(HeadType::SYNC, targetId);
    head.Command = FixedCommand::HeartRate;
    head.Value = heartRateMs;
    return HeadOnlyFrame(head);
}

std::string OnlineFrame(const char* targetId) {
    MessageHead head = ServerHead(HeadType::Message, targetId);
    head.Command = FixedCommand::ServerOnline;
    return HeadOnlyFrame(head);
}

std::string HeartbeatFrame(uint32_t type) { return HeadOnlyFrame(ServerHead(type, "")); }

} // namespace busd
