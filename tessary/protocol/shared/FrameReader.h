#pragma once

#include "tessary/external/DString.h"
#include "tessary/external/WString.h"
#include "tessary/foundation/internal/InBuffer.h"
#include "tessary/foundation/TmplBlockBuffer.h"
#include "tessary/protocol/shared/MessageHead.h"

#include <climits>
#include <cstdint>

// The frame reader: what follows a head the caller has already read, pulled through the frame
// codec, which keeps the rules while the reader keeps the storage. Every failure writes
// exactly one error line and answers false, leaving the stream where the failing read left it
// (usually mid-frame); the caller decides whether to tear the connection down. Reads from any
// input stream: a connection's NetBuffer, or memory appended to an IStreamBuffer.
//
// Lengths from the wire size allocations only after their sign and the caller's limit are
// checked, and memory follows the bytes that arrive rather than the lengths announced: a long
// body grows as it is read, a BLOB block is only committed where bytes are written. When
// memory for a body or BLOB cannot be had, the read fails with a line of its own.

// Whether the body and known-size BLOB that head announces fit in maxFrame bytes; a frame that
// does not is refused with one error line.
bool FrameWithinLimit(const MessageHead& head, int32_t maxFrame);

// Body (into text16 when head has the Wide flag, else text8), BLOB and tail. A body up to
// 1 MiB and a known-size BLOB are read straight into their final storage, a longer body into a
// mapped block first that gives its pages back as they are copied; a streamed BLOB ends in one
// block of exactly its total, and one sent as a single chunk is read in place. Chunks of a
// known-size BLOB may fall short of its length (the rest stays as allocated) but never exceed
// it. A wide body of odd length is read whole into (cbMessage + 1) / 2 characters, the last one with a zero high byte, so
// nothing is written past the string and the stream stays in step. A frame whose body and
// BLOB together announce more than maxFrame bytes is refused before anything is read; a
// streamed BLOB is refused once its chunks pass what is left of the limit. After a failed BLOB
// read blob is empty; after a failed body read the string holds at least what was read, unless
// memory for it ran short.
bool NetRead(InBuffer& stream, const MessageHead& head, DString& text8, WString& text16,
             TmplBlockBuffer<unsigned char>& blob, int32_t maxFrame = INT32_MAX);

// Reads past the rest of a frame nobody takes (body, BLOB chunks, tail) through a small buffer,
// whatever lengths it announces, with the checks and lines of NetRead; the tail's magic is not
// checked. False when a read failed or the chunks overran a known BLOB length.
bool SkipFrameRest(InBuffer& stream, const MessageHead& head);

// One tail; true when all 16 bytes came. Its magic is not checked, and nothing is logged.
bool ReadTail(InBuffer& stream);
