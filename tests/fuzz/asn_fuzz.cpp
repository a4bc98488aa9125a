// libFuzzer target for the readers of untrusted DER: Asn1_ParseBuffer (and
// the worker in indefinite mode), every converter on every node, the OID
// search, X500Name_Parse and X500Name_Equal on every node, and the writers
// on every INTEGER. A crash, a sanitizer report, a leak or a fatal stop of
// the program is a finding; tests/fuzz/run.sh runs it.
#include <cstddef>
#include <cstdint>

#include "core/security/asn.h"
#include "core/security/x500.h"

namespace {

struct FuzzState {
  X500Name *previous;  // the name of the node before, for equality
  BigInt integer;
};

void fuzzNode(const Asn1Node *node, FuzzState *state) {
  uint32_t value32 = 0;
  char text[kAsn1TextBytes];
  double time = 0;
  Asn1_GetInteger32(node, &value32);
  if (Asn1_GetBigInteger(node, &state->integer)) {
    uint8_t out[kAsn1WriteBufferBytes];
    uint8_t sequence[kAsn1WriteBufferBytes] = {0x30, 0x00};
    int length = Asn1_WriteInteger(&state->integer, out);
    if (length > 0) Asn1_AppendToSequence(sequence, out, length);
  }
  Asn1_GetOidText(node, text);
  Asn1_GetString(node, text);
  Asn1_GetUtcTime(node, &time);
  Asn1Node *found = nullptr;
  Asn1_FindValueByOid(node, "2.5.4.3", -1, &found);
  Asn1_FindValueByOid(node, "1.2.840.113549.1.9.1", 2, &found);
  Asn1_GetChild(node, Asn1_GetChildCount(node));
  Asn1_GetChild(node, -1);
  X500Name *name = nullptr;
  X500Name_Create(&name);
  X500Name_Parse(name, node);
  X500Name_Equal(name, state->previous);
  X500Name_Release(&state->previous);
  state->previous = name;
  // Children backwards, then forwards: both directions of the cursor.
  for (int i = Asn1_GetChildCount(node) - 1; i >= 0; i--) Asn1_GetTag(Asn1_GetChild(node, i));
  for (int i = 0; i < Asn1_GetChildCount(node); i++) fuzzNode(Asn1_GetChild(node, i), state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzState state{};
  X500Name_Create(&state.previous);
  BigInt_InitInPlace(&state.integer);
  Asn1Node *document = nullptr;
  Asn1_Create(&document);
  Asn1_ParseBuffer(document, data, int64_t(size));
  fuzzNode(document, &state);
  Asn1_Clear(document);
  int64_t consumed = 0;
  if (Asn1_Parse(document, data, int64_t(size), 0, int64_t(size), 1, 0, &consumed))
    fuzzNode(document, &state);
  Asn1_Release(&document);
  BigInt_FreeLimbs(&state.integer);
  X500Name_Release(&state.previous);
  return 0;
}
