// Read and write meter pairs; see meterrw.h.
#include "core/platform/meterrw.h"

#include <new>

#include "core/runtime/core.h"
#include "core/runtime/memory.h"

namespace {

void meterRWDestroy(void **object) {
  auto *pair = static_cast<MeterRW *>(*object);
  Meter_Delete(&pair->read);
  Meter_Delete(&pair->write);
  pair->header.classTag = 0;
  pair->~MeterRW();
  MEM_FREE(pair, sizeof(MeterRW));
}

inline MeterRW *meterRWCheck(MeterRW *pair, const char *sourcePath, int line) {
  Class_Check(pair, kMeterRWTag, sourcePath, line);
  return pair;
}

}  // namespace

int MeterRW_Create(MeterRW **pair) {
  CHECK_POINTER(pair);
  *pair = nullptr;
  auto *created = new (MEM_ALLOC(sizeof(MeterRW), MEM_ZEROED)) MeterRW();
  created->header.classTag = kMeterRWTag;
  created->header.refCount.store(1, std::memory_order_relaxed);
  created->header.destroy = meterRWDestroy;
  Meter_Create(&created->read);
  Meter_Create(&created->write);
  *pair = created;
  return 1;
}

int MeterRW_Delete(MeterRW **pair) {
  CHECK_POINTER(pair);
  meterRWCheck(*pair, KSRC);
  Class_ReleaseObject(pair);
  return 1;
}

int MeterRW_SetParent(MeterRW *pair, MeterRW *parent) {
  meterRWCheck(pair, KSRC);
  if (parent != nullptr) meterRWCheck(parent, KSRC);
  int ok = Meter_SetParent(pair->read, parent != nullptr ? parent->read : nullptr);
  if (!ok) return 0;
  return Meter_SetParent(pair->write, parent != nullptr ? parent->write : nullptr);
}

int MeterRW_SetReadParent(MeterRW *pair, Meter *parent) {
  return Meter_SetParent(meterRWCheck(pair, KSRC)->read, parent);
}

int MeterRW_SetWriteParent(MeterRW *pair, Meter *parent) {
  return Meter_SetParent(meterRWCheck(pair, KSRC)->write, parent);
}

int MeterRW_AddReadBytes(MeterRW *pair, int64_t bytes) {
  return Meter_AddBytes(meterRWCheck(pair, KSRC)->read, bytes);
}

int MeterRW_AddWriteBytes(MeterRW *pair, int64_t bytes) {
  return Meter_AddBytes(meterRWCheck(pair, KSRC)->write, bytes);
}

int MeterRW_RequestRead(MeterRW *pair, int64_t *bytes) {
  return Meter_RequestQuota(meterRWCheck(pair, KSRC)->read, bytes);
}

int MeterRW_RequestWrite(MeterRW *pair, int64_t *bytes) {
  return Meter_RequestQuota(meterRWCheck(pair, KSRC)->write, bytes);
}

int MeterRW_Reset(MeterRW *pair) {
  meterRWCheck(pair, KSRC);
  Meter_Reset(pair->read);
  Meter_Reset(pair->write);
  return 1;
}

int MeterRW_ResetCounters(MeterRW *pair) {
  meterRWCheck(pair, KSRC);
  Meter_ResetCounters(pair->read);
  Meter_ResetCounters(pair->write);
  return 1;
}

int MeterRW_GetBytes(MeterRW *pair, uint64_t *readBytes, uint64_t *writeBytes) {
  meterRWCheck(pair, KSRC);
  if (readBytes != nullptr) Meter_GetBytes(pair->read, readBytes);
  if (writeBytes != nullptr) Meter_GetBytes(pair->write, writeBytes);
  return 1;
}

int MeterRW_GetRates(MeterRW *pair, double *readRate, double *writeRate) {
  meterRWCheck(pair, KSRC);
  if (readRate != nullptr) Meter_GetRate(pair->read, readRate);
  if (writeRate != nullptr) Meter_GetRate(pair->write, writeRate);
  return 1;
}

int MeterRW_GetPeakRates(MeterRW *pair, double *readRate, double *writeRate) {
  meterRWCheck(pair, KSRC);
  if (readRate != nullptr) Meter_GetPeakRate(pair->read, readRate);
  if (writeRate != nullptr) Meter_GetPeakRate(pair->write, writeRate);
  return 1;
}

int MeterRW_GetLimits(MeterRW *pair, int64_t *readLimit, int64_t *writeLimit) {
  meterRWCheck(pair, KSRC);
  if (readLimit != nullptr) Meter_GetLimit(pair->read, readLimit);
  if (writeLimit != nullptr) Meter_GetLimit(pair->write, writeLimit);
  return 1;
}

int MeterRW_SetLimits(MeterRW *pair, int64_t readLimit, int64_t writeLimit) {
  meterRWCheck(pair, KSRC);
  Meter_SetLimit(pair->read, readLimit);
  Meter_SetLimit(pair->write, writeLimit);
  return 1;
}
