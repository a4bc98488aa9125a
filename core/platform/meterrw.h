// MeterRW: a pair of meters, one for the bytes read and one for the bytes
// written, that sockets, files and connections carry; each operation here is
// the single-meter operation on one or both meters.
//
// Invariants: (1) a pair owns its two meters from MeterRW_Create to
// MeterRW_Delete. (2) the read meter only ever hangs below read meters and the
// write meter below write meters when pairs are linked with MeterRW_SetParent.
//
// Threads: any thread; the meters' global lock is taken by each meter
// operation (a pair operation on both meters is two separate steps).
#pragma once

#include <cstdint>

#include "core/runtime/class.h"
#include "core/platform/meter.h"

constexpr uint32_t kMeterRWTag = 0x1fc9f960;

struct MeterRW {
  ObjectHeader header;  // kMeterRWTag
  Meter *read;
  Meter *write;
};

// Two new meters without parents. Returns 1.
int MeterRW_Create(MeterRW **pair);
// Detaches both meters from their parents and children, deletes them, frees
// the pair and clears *pair. Returns 1.
int MeterRW_Delete(MeterRW **pair);

// The read meter below the parent's read meter and the write meter below its
// write meter (NULL: no parents). 1, or 0 when a meter would end up below
// itself; the read side is moved first, and a side that is refused stays
// where it was.
int MeterRW_SetParent(MeterRW *pair, MeterRW *parent);
// One meter below a plain meter (NULL: no parent). 1, or 0 (unmoved) when it
// would end up below itself.
int MeterRW_SetReadParent(MeterRW *pair, Meter *parent);
int MeterRW_SetWriteParent(MeterRW *pair, Meter *parent);

int MeterRW_AddReadBytes(MeterRW *pair, int64_t bytes);
int MeterRW_AddWriteBytes(MeterRW *pair, int64_t bytes);
int MeterRW_RequestRead(MeterRW *pair, int64_t *bytes);
int MeterRW_RequestWrite(MeterRW *pair, int64_t *bytes);

int MeterRW_Reset(MeterRW *pair);
int MeterRW_ResetCounters(MeterRW *pair);
// Outputs may be NULL when only one side is wanted.
int MeterRW_GetBytes(MeterRW *pair, uint64_t *readBytes, uint64_t *writeBytes);
int MeterRW_GetRates(MeterRW *pair, double *readRate, double *writeRate);
int MeterRW_GetPeakRates(MeterRW *pair, double *readRate, double *writeRate);
int MeterRW_GetLimits(MeterRW *pair, int64_t *readLimit, int64_t *writeLimit);
int MeterRW_SetLimits(MeterRW *pair, int64_t readLimit, int64_t writeLimit);
