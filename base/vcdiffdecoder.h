// VCDiffDecoder: turns one VCDIFF delta of this system's framing into its
// target, against source bytes held in memory. The framing has no file
// header and one window: Win_Indicator; source segment size, source segment
// position and window length (64-bit integers, the last two unused); the
// delta indicator (32-bit, must be 0); the lengths of the data (64-bit, at
// most 2^31 - 1), instructions and addresses sections (32-bit); with
// Win_Indicator bit 0x08 the source piece index and count (32-bit); then the
// three sections in that order. Instructions, integers, address modes and the
// code table are VCDIFF's defaults, except that a RUN's byte follows its
// opcode (and size) in the instructions section. A delta with the VCDIFF file
// header (its magic bytes D6 C3 C4) is refused.
//
// Invariants: (1) input, source and the sections are borrowed; the sections
// lie inside the input. (2) after a refused header every section is empty:
// nothing of an earlier window remains. (3) VCDiffDecoder_Run allocates
// nothing and writes only output[length, capacity). (4) a COPY address is
// always below here (source segment size plus the bytes of the window written
// so far); an address below the source segment size reads the source, any
// other the window's own output.
//
// Threads: one thread at a time per decoder; decoders are independent.
#pragma once

#include <cstdint>

#include "base/vcdiffaddrcache.h"
#include "base/vcdiffcodetable.h"
#include "core/runtime/class.h"

constexpr uint32_t kVCDiffDecoderTag = 0x5dc0de23;
constexpr uint8_t kVCDiffWindowHasRange = 0x08;
constexpr uint64_t kVCDiffMaxDataLength = 2147483647;

struct VCDiffDecoder {
  ObjectHeader header;  // kVCDiffDecoderTag
  const uint8_t *input;  // borrowed
  uint64_t inputLength;
  uint64_t inputPosition;
  uint8_t windowIndicator;
  uint64_t sourceSegmentSize;
  uint64_t sourceSegmentPosition;  // read, not used
  uint64_t windowLength;           // read, not used
  const uint8_t *source;  // borrowed
  uint64_t sourceLength;
  int32_t sourceIndex;  // first source piece
  int32_t sourceCount;  // number of source pieces
  VCDiffSection data;
  VCDiffSection instructions;
  VCDiffCodeTable *codeTable;
  VCDiffAddressCache *addressCache;
};

// A decoder with the default code table and empty sections. Released with
// Class_Release. Returns 1.
int VCDiffDecoder_Create(VCDiffDecoder **decoder);

// The delta to read next (borrowed; read from its first byte). Empties the
// sections. Returns 1.
int VCDiffDecoder_SetInput(VCDiffDecoder *decoder, const void *input, int64_t length);
// The source bytes that addresses below the source segment size read
// (borrowed). Returns 1.
int VCDiffDecoder_SetSource(VCDiffDecoder *decoder, const void *source, int64_t length);
// The source pieces, as a piece header names them; a window with bit 0x08
// overwrites them. Returns 1.
int VCDiffDecoder_SetSourceRange(VCDiffDecoder *decoder, int32_t index, int32_t count);

// Reads the window header at the input's read position and sets up the
// sections and the address cache. 0 when it is malformed, asks for secondary
// compression, has a data section above 2^31 - 1 bytes or sections that do
// not fit in the input; every section is then empty.
int VCDiffDecoder_ReadWindowHeader(VCDiffDecoder *decoder);

int VCDiffDecoder_GetSourceIndex(VCDiffDecoder *decoder, int32_t *index);
int VCDiffDecoder_GetSourceCount(VCDiffDecoder *decoder, int32_t *count);

// Runs the window's instructions, appending its target to output from
// *length on (the window's start) and moving *length as it goes; nothing is
// written at or past capacity. 1 when the instructions section is used up;
// 0 at the first malformed instruction, section overrun, address at or
// beyond here, source range past the source or output past capacity.
int VCDiffDecoder_Run(VCDiffDecoder *decoder, void *output, int64_t capacity, int64_t *length);
