#pragma once

#include "tessary/foundation/TmplBlockBuffer.h"
#include "tessary/protocol/BUSStream.h"
#include "tessary/protocol/shared/MessageHead.h"
#include "tessary/protocol/internal/NetBuffer.h"

#include <cstdint>
#include <functional>

// The frame writers. Each lays one whole frame into the connection's output stream, sends it,
// and answers true: a failed send is reported by the socket (its log line, its OnError hook, and
// closing a connection that is gone), and shows up again in the reply read that follows.
//
// Each sets TickCount, cbMessage and cbBLOB in head. The connection is corked for the length
// of the call, so the frame's last partial segment leaves at once instead of waiting on Nagle
// for the peer's delayed acknowledgement, and no frame is cut short of its tail by a write of
// the next.
//
// The caller's body and BLOB bytes are sent from where they lie (a large range is not copied
// at all), within the call.

using BUSStreamWriter = std::function<void(ORVEX::Tessary::Controller::BUSStream)>;

// A head-only frame: head and tail (cbMessage 0).
bool WriteHead(NetBuffer& stream, MessageHead& head);
// Head, n body bytes, tail.
bool WriteMessage(NetBuffer& stream, MessageHead& head, const void* body, int32_t n);
// Head, n body bytes, the BLOB as one data PDV and the closing PDV, tail. An empty BLOB has no
// PDV at all. When the connection drops after the data, the closing PDV is left out.
bool WriteBLOB(NetBuffer& stream, MessageHead& head, const void* body, int32_t n,
               const TmplBlockBuffer<unsigned char>& blob);
// Head, n body bytes, one data PDV per positive BUSStream::Write that writer makes, the
// closing PDV, tail (cbBLOB 0x7FFFFFFF). writer runs on this thread, inside the call. An empty
// writer throws std::bad_function_call, as does any exception of the writer's own escape:
// nothing of the frame that was not yet sent is kept, but chunks already sent stay sent, so
// the caller should close the connection.
bool WriteBLOBStream(NetBuffer& stream, MessageHead& head, const void* body, int32_t n,
                     const BUSStreamWriter& writer);

// One data PDV announcing n bytes, then the bytes, into the output stream (not flushed). A
// range of a chunk size or more is not copied: it must stay alive until the next Flush.
void WriteChunk(NetBuffer& stream, const void* data, uint32_t n);
