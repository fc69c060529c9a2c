#pragma once

#include "tessary/external/DString.h"
#include "tessary/external/WString.h"
#include "tessary/foundation/InBuffer.h"
#include "tessary/foundation/TmplBlockBuffer.h"
#include "tessary/protocol/MessageHead.h"

// The frame reader: what follows a head the caller has already read. Every failure writes
// exactly one error line and answers false, leaving the stream where the failing read left it
// (usually mid-frame); the caller decides whether to tear the connection down. Reads from any
// input stream: a connection's NetBuffer, or memory appended to an IStreamBuffer.
//
// Lengths from the wire size allocations only after their sign is checked; any non-negative
// length the fields can carry is accepted (BLOBs of gigabytes are normal on this bus). When
// memory for a body or BLOB cannot be had, the read fails with a line of its own.

// Body (into text16 when head has the Wide flag, else text8), BLOB and tail. Body and a
// known-size BLOB are read straight into their final storage. A wide body of odd length is
// read whole into (cbMessage + 1) / 2 characters, the last one with a zero high byte, so
// nothing is written past the string and the stream stays in step. After a failed BLOB read
// blob is empty; after a failed body read the string holds what was read, at the set length.
bool NetRead(InBuffer& stream, const MessageHead& head, DString& text8, WString& text16,
             TmplBlockBuffer<unsigned char>& blob);

// The BLOB part of a frame whose cbBLOB is a real length, into blob, already allocated with
// that length. Chunks may be of any sizes; together they may fall short of the length (the
// rest stays as allocated) but never exceed it.
bool ReadBLOBKnowSize(InBuffer& stream, TmplBlockBuffer<unsigned char>& blob);

// The BLOB part of a streamed frame (cbBLOB 0x7FFFFFFF), into one block of exactly the total
// length; a BLOB sent as a single chunk is read in place, without gathering and joining.
bool ReadBLOBUnknownSize(InBuffer& stream, TmplBlockBuffer<unsigned char>& blob);

// Reads past the rest of a frame nobody takes (body, BLOB chunks, tail) through a small buffer,
// whatever lengths it announces, with the checks and lines of NetRead; the tail's magic is not
// checked. False when a read failed.
bool SkipFrameRest(InBuffer& stream, const MessageHead& head);

// One tail; true when all 16 bytes came. Its magic is not checked, and nothing is logged.
bool ReadTail(InBuffer& stream);
