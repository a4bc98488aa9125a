// VCDiffCodeTable: the 256 opcodes of the default instruction code table of
// the generic differencing format (VCDIFF); each opcode stands for one or two
// instructions. Application-defined tables are not read: deltas of this
// system always use the default one.
//
// Invariants: (1) entries[op][0] and entries[op][1] are the first and second
// instruction of opcode op; a NOOP slot does nothing. (2) a size of 0 means
// the size follows the opcode as an integer. (3) modes are 0-8. (4) the
// table does not change after VCDiffCodeTable_Create.
//
// Threads: read-only after creation; any number of threads may read it.
#pragma once

#include <cstdint>

enum class VCDiffInstructionType : uint8_t { kNoop = 0, kAdd = 1, kRun = 2, kCopy = 3 };

struct VCDiffInstruction {
  VCDiffInstructionType type;
  uint8_t mode;   // COPY only: 0-8
  uint16_t size;  // 0: an integer follows
};

struct VCDiffCodeTable {
  VCDiffInstruction entries[256][2];
};

// The default table, built in tracked memory. Returns 1.
int VCDiffCodeTable_Create(VCDiffCodeTable **table);
// Frees the table and clears *table. NULL is fine. Returns 1.
int VCDiffCodeTable_Release(VCDiffCodeTable **table);
