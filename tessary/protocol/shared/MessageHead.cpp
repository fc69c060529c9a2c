#include "tessary/protocol/shared/MessageHead.h"

#include "tessary/external/Log.h"

#include <atomic>
#include <chrono>
#include <cstring>

namespace {

// Starts at 1 when the library loads; each head takes the value after its increment.
std::atomic<uint32_t> gMessageCounter{1};

void CopyId(char (&field)[IdFieldSize], const char* id) {
    std::memset(field, 0, IdFieldSize);
    if (id != nullptr) {
        std::memcpy(field, id, strnlen(id, IdFieldSize));
    }
}

} // namespace

uint32_t NextMessageID() { return gMessageCounter.fetch_add(1) + 1; }

uint32_t TickCount32() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string IdFieldText(const char (&field)[IdFieldSize]) {
    return std::string(field, strnlen(field, IdFieldSize));
}

MessageHead::MessageHead(uint32_t type) {
    std::memset(this, 0, sizeof(*this));
    Magic = HeadMagic;
    Size = sizeof(MessageHead);
    Version = ProtocolVersion;
    CallerID = DefaultCallerID;
    MessageID = NextMessageID();
    Type = type;
}

bool MessageHead::Is(uint32_t type) const {
    if (Version > ProtocolVersion) {
        _error("Version mismatched from %s of CMD : %d of version 0x%0x (Server version : 0x%0x)",
               IdFieldText(SourceID).c_str(), Command, Version, ProtocolVersion);
        return false;
    }
    return Magic == HeadMagic && Type == type;
}

MessageHead AnswerHead(const MessageHead& received, uint32_t type, const char* ownID) {
    MessageHead head = received;
    head.Magic = HeadMagic;
    head.Size = sizeof(MessageHead);
    head.Version = ProtocolVersion;
    head.TickCount = TickCount32();
    head.Type = type;
    head.TimeOut = 0;
    head.cbMessage = 0;
    head.cbBLOB = 0;
    head.Reserved = 0;
    head.SetSourceID(ownID);
    std::memcpy(head.TargetID, received.SourceID, IdFieldSize);
    return head;
}

void MessageHead::SetSourceID(const char* id) { CopyId(SourceID, id); }

void MessageHead::SetTargetID(const char* id) { CopyId(TargetID, id); }

DString MessageHead::GetSourceID() const { return DString(IdFieldText(SourceID)); }

DString MessageHead::GetTargetID() const { return DString(IdFieldText(TargetID)); }
