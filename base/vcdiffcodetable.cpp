// The default VCDIFF code table; see vcdiffcodetable.h.
#include "base/vcdiffcodetable.h"

#include "core/runtime/memory.h"

namespace {

using Type = VCDiffInstructionType;

void vcdiffCodeTableSet(VCDiffCodeTable *t, int *op, VCDiffInstruction first,
                        VCDiffInstruction second) {
  t->entries[*op][0] = first;
  t->entries[*op][1] = second;
  ++*op;
}

}  // namespace

int VCDiffCodeTable_Create(VCDiffCodeTable **table) {
  CHECK_POINTER(table);
  auto *t = static_cast<VCDiffCodeTable *>(MEM_ALLOC(sizeof(VCDiffCodeTable), MEM_ZEROED));
  const VCDiffInstruction noop{Type::kNoop, 0, 0};
  int op = 0;
  vcdiffCodeTableSet(t, &op, {Type::kRun, 0, 0}, noop);
  for (uint16_t size = 0; size <= 17; ++size) vcdiffCodeTableSet(t, &op, {Type::kAdd, 0, size}, noop);
  for (uint8_t mode = 0; mode <= 8; ++mode) {
    vcdiffCodeTableSet(t, &op, {Type::kCopy, mode, 0}, noop);
    for (uint16_t size = 4; size <= 18; ++size)
      vcdiffCodeTableSet(t, &op, {Type::kCopy, mode, size}, noop);
  }
  for (uint8_t mode = 0; mode <= 5; ++mode)
    for (uint16_t add = 1; add <= 4; ++add)
      for (uint16_t copy = 4; copy <= 6; ++copy)
        vcdiffCodeTableSet(t, &op, {Type::kAdd, 0, add}, {Type::kCopy, mode, copy});
  for (uint8_t mode = 6; mode <= 8; ++mode)
    for (uint16_t add = 1; add <= 4; ++add)
      vcdiffCodeTableSet(t, &op, {Type::kAdd, 0, add}, {Type::kCopy, mode, 4});
  for (uint8_t mode = 0; mode <= 8; ++mode)
    vcdiffCodeTableSet(t, &op, {Type::kCopy, mode, 4}, {Type::kAdd, 0, 1});
  if (op != 256) Core_Abort(KSRC, "VCDIFF code table has %d opcodes\n", op);
  *table = t;
  return 1;
}

int VCDiffCodeTable_Release(VCDiffCodeTable **table) {
  CHECK_POINTER(table);
  if (*table == nullptr) return 1;
  VCDiffCodeTable *t = *table;
  *table = nullptr;
  MEM_FREE(t, sizeof(VCDiffCodeTable));
  return 1;
}
