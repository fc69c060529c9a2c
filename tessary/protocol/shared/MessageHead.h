#pragma once

#include "tessary/external/DString.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The three fixed records of a frame, laid out byte for byte as they travel: little-endian
// 32-bit fields, no padding. x86-64 and the wire agree on byte order, so the records are read
// and written as raw bytes.

namespace HeadType {
constexpr uint32_t Message = 0x2000;
constexpr uint32_t Listen = 0x3000;
constexpr uint32_t MessageAlt = 0x4000;
constexpr uint32_t Heartbeat = 0x5000;
constexpr uint32_t Heartbeat1Minute = 0x5010;
constexpr uint32_t Heartbeat5Minute = 0x5050;
constexpr uint32_t Ack = 0x6000;
constexpr uint32_t Enquiry = 0x7000;
constexpr uint32_t UniqueSourceID = 0x7010;
constexpr uint32_t Setting = 0x8000;
constexpr uint32_t Subscribe = 0xA000;
constexpr uint32_t Reply = 0xF000;
constexpr uint32_t SYNC = 0xFF00;
constexpr uint32_t Failed = 0xFFF0;
constexpr uint32_t Error = 0xFFF1;
} // namespace HeadType

namespace HeadFlag {
constexpr uint32_t AckRequested = 0x1;
constexpr uint32_t Forward = 0x2;
constexpr uint32_t BLOB = 0x4;
constexpr uint32_t Wide = 0x8;
// In a SYNC frame: the receiver logs every Heartbeat frame.
constexpr uint32_t LogHeartbeats = 0x1;
} // namespace HeadFlag

namespace FixedCommand {
// A Setting frame with the JSON body {"TcpNoDelay" : 1}, sent right after connecting.
constexpr int32_t TcpNoDelaySetting = 6090;
// A SYNC frame whose Value is the server's heart rate in milliseconds.
constexpr int32_t HeartRate = 100;
// A message pushed by the bus server when it comes on line.
constexpr int32_t ServerOnline = 1;
} // namespace FixedCommand

constexpr uint32_t HeadMagic = 0x55AA;
constexpr uint32_t PDVMagic = 0xA55A;
constexpr uint32_t TailMagic = 0xAA55;
constexpr uint32_t ProtocolVersion = 0x510;
constexpr uint32_t DefaultCallerID = 66;
constexpr int32_t UnknownBLOBSize = 0x7FFFFFFF;
constexpr int IdFieldSize = 16;
constexpr const char* BUSServerID = "__BUSServer";

#pragma pack(push, 1)
struct MessageHead {
    uint32_t Magic;
    uint32_t Size;
    uint32_t Version;
    uint32_t CallerID;
    uint32_t MessageID;
    uint32_t TickCount;
    uint32_t Type;
    uint32_t Flags;
    int32_t TimeOut;
    int32_t Command;
    int32_t Value;
    int32_t cbMessage;
    int32_t cbBLOB;
    char SourceID[IdFieldSize];
    char TargetID[IdFieldSize];
    uint32_t Reserved;

    // A zeroed head of the given type that takes the next process-wide message number.
    explicit MessageHead(uint32_t type = 0);

    // True when this is a head of type type from a peer whose version we understand; a newer
    // version is logged and answers false.
    bool Is(uint32_t type) const;
    bool HasFlag(uint32_t flag) const { return (Flags & flag) != 0; }

    // Bounded copies: at most 16 bytes in, zero-padded; an id of exactly 16 characters has no
    // terminating zero, so reads never look past the field.
    void SetSourceID(const char* id);
    void SetTargetID(const char* id);
    DString GetSourceID() const;
    DString GetTargetID() const;
};

struct MessagePDV {
    uint32_t Magic = PDVMagic;
    uint32_t Size = 24;
    uint32_t Reserved1 = 88;
    uint32_t cbData = 0;
    uint32_t Reserved2 = 44;
    uint32_t Flags = 0;

    static constexpr uint32_t Last = 0x1;

    bool Is() const { return Magic == PDVMagic; }
    bool IsLast() const { return (Flags & Last) != 0; }
};

struct Tail {
    uint32_t Magic = TailMagic;
    uint32_t Size = 16;
    uint32_t Reserved1 = 77;
    uint32_t Reserved2 = 44;

    bool Is() const { return Magic == TailMagic; }
};
#pragma pack(pop)

static_assert(sizeof(MessageHead) == 88);
static_assert(offsetof(MessageHead, CallerID) == 12);
static_assert(offsetof(MessageHead, MessageID) == 16);
static_assert(offsetof(MessageHead, Type) == 24);
static_assert(offsetof(MessageHead, TimeOut) == 32);
static_assert(offsetof(MessageHead, cbMessage) == 44);
static_assert(offsetof(MessageHead, cbBLOB) == 48);
static_assert(offsetof(MessageHead, SourceID) == 52);
static_assert(offsetof(MessageHead, TargetID) == 68);
static_assert(offsetof(MessageHead, Reserved) == 84);
static_assert(sizeof(MessagePDV) == 24);
static_assert(offsetof(MessagePDV, cbData) == 12);
static_assert(offsetof(MessagePDV, Flags) == 20);
static_assert(sizeof(Tail) == 16);

// The answer of type type to received: its CallerID, MessageID, Command, Flags and Value, sent
// by ownID back to received's sender, stamped now, with no body or BLOB yet. Built on a copy,
// so that answering does not use up a message number.
MessageHead AnswerHead(const MessageHead& received, uint32_t type, const char* ownID);

// The next value of the process-wide message counter (the first head of a process gets 2).
uint32_t NextMessageID();

// Milliseconds of a monotonic clock, wrapping at 32 bits like a Windows tick count.
uint32_t TickCount32();

// A bounded copy of an id field into text (stops at a zero byte or after 16 bytes).
std::string IdFieldText(const char (&field)[IdFieldSize]);
