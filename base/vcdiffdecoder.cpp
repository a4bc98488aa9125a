// VCDIFF decoding; see vcdiffdecoder.h.
#include "base/vcdiffdecoder.h"

#include <cstring>
#include <new>

#include "core/runtime/memory.h"

namespace {

#define VCDIFFDECODER_CHECK(d) CLASS_CHECK((d), kVCDiffDecoderTag)

constexpr uint8_t kVCDiffFileMagic[3] = {0xd6, 0xc3, 0xc4};

void vcdiffDecoderClearSections(VCDiffDecoder *d) {
  d->data = {nullptr, 0, 0};
  d->instructions = {nullptr, 0, 0};
  VCDiffAddressCache_SetSection(d->addressCache, nullptr, 0);
}

void vcdiffDecoderDestroy(void **object) {
  auto *d = static_cast<VCDiffDecoder *>(*object);
  VCDiffCodeTable_Release(&d->codeTable);
  VCDiffAddressCache_Release(&d->addressCache);
  d->header.classTag = 0;
  MEM_FREE(d, sizeof(VCDiffDecoder));
}

// The header fields in order, read from a section over the rest of the input.
int vcdiffDecoderReadHeader(VCDiffDecoder *d) {
  VCDiffSection in{d->input, d->inputLength, d->inputPosition};
  uint64_t deltaIndicator = 0, dataLength = 0, instructionsLength = 0, addressesLength = 0;
  if (in.position >= in.length) return 0;
  // RFC 3284's file header: a delta of another framing.
  if (in.length - in.position >= 3 && std::memcmp(in.data + in.position, kVCDiffFileMagic, 3) == 0)
    return 0;
  uint8_t indicator = in.data[in.position++];
  uint64_t segmentSize = 0, segmentPosition = 0, windowLength = 0;
  if (!VCDiff_ReadInteger(&in, 1, &segmentSize) || !VCDiff_ReadInteger(&in, 1, &segmentPosition) ||
      !VCDiff_ReadInteger(&in, 1, &windowLength) || !VCDiff_ReadInteger(&in, 0, &deltaIndicator) ||
      deltaIndicator != 0 || !VCDiff_ReadInteger(&in, 1, &dataLength) ||
      dataLength > kVCDiffMaxDataLength || !VCDiff_ReadInteger(&in, 0, &instructionsLength) ||
      !VCDiff_ReadInteger(&in, 0, &addressesLength))
    return 0;
  uint64_t index = 0, count = 0;
  if ((indicator & kVCDiffWindowHasRange) &&
      (!VCDiff_ReadInteger(&in, 0, &index) || !VCDiff_ReadInteger(&in, 0, &count)))
    return 0;
  // Each length is below 2^32: the sum cannot wrap.
  if (dataLength + instructionsLength + addressesLength > in.length - in.position) return 0;
  d->windowIndicator = indicator;
  d->sourceSegmentSize = segmentSize;
  d->sourceSegmentPosition = segmentPosition;
  d->windowLength = windowLength;
  if (indicator & kVCDiffWindowHasRange) {
    d->sourceIndex = int32_t(uint32_t(index));
    d->sourceCount = int32_t(uint32_t(count));
  }
  const uint8_t *at = in.data + in.position;
  d->data = {at, dataLength, 0};
  d->instructions = {at + dataLength, instructionsLength, 0};
  VCDiffAddressCache_SetSection(d->addressCache, at + dataLength + instructionsLength,
                                addressesLength);
  d->inputPosition = in.position + dataLength + instructionsLength + addressesLength;
  return 1;
}

// A COPY from the window's own output: from < to. A distance of at least the
// size is one memcpy; a shorter one repeats the pattern of distance bytes,
// which doubles with each chunk, as a byte-by-byte copy would.
inline void vcdiffCopyWithin(uint8_t *output, uint64_t from, uint64_t to, uint64_t size) {
  uint64_t distance = to - from;
  if (size == 0) {
    return;
  } else if (distance >= size) {
    std::memcpy(output + to, output + from, size);
  } else if (distance == 1) {
    std::memset(output + to, output[from], size);
  } else {
    while (size > 0) {
      uint64_t chunk = distance < size ? distance : size;
      std::memcpy(output + to, output + from, chunk);
      to += chunk;
      size -= chunk;
      distance += chunk;
    }
  }
}

}  // namespace

int VCDiffDecoder_Create(VCDiffDecoder **decoder) {
  CHECK_POINTER(decoder);
  auto *d = new (MEM_ALLOC(sizeof(VCDiffDecoder), MEM_ZEROED)) VCDiffDecoder();
  d->header.classTag = kVCDiffDecoderTag;
  d->header.refCount.store(1, std::memory_order_relaxed);
  d->header.destroy = vcdiffDecoderDestroy;
  VCDiffCodeTable_Create(&d->codeTable);
  VCDiffAddressCache_Create(&d->addressCache);
  vcdiffDecoderClearSections(d);
  *decoder = d;
  return 1;
}

int VCDiffDecoder_SetInput(VCDiffDecoder *d, const void *input, int64_t length) {
  VCDIFFDECODER_CHECK(d);
  if (length > 0) CHECK_POINTER(input);
  d->input = static_cast<const uint8_t *>(input);
  d->inputLength = length > 0 ? uint64_t(length) : 0;
  d->inputPosition = 0;
  vcdiffDecoderClearSections(d);
  return 1;
}

int VCDiffDecoder_SetSource(VCDiffDecoder *d, const void *source, int64_t length) {
  VCDIFFDECODER_CHECK(d);
  if (length > 0) CHECK_POINTER(source);
  d->source = static_cast<const uint8_t *>(source);
  d->sourceLength = length > 0 ? uint64_t(length) : 0;
  return 1;
}

int VCDiffDecoder_SetSourceRange(VCDiffDecoder *d, int32_t index, int32_t count) {
  VCDIFFDECODER_CHECK(d);
  d->sourceIndex = index;
  d->sourceCount = count;
  return 1;
}

int VCDiffDecoder_ReadWindowHeader(VCDiffDecoder *d) {
  VCDIFFDECODER_CHECK(d);
  vcdiffDecoderClearSections(d);
  return vcdiffDecoderReadHeader(d);
}

int VCDiffDecoder_GetSourceIndex(VCDiffDecoder *d, int32_t *index) {
  VCDIFFDECODER_CHECK(d);
  CHECK_POINTER(index);
  *index = d->sourceIndex;
  return 1;
}

int VCDiffDecoder_GetSourceCount(VCDiffDecoder *d, int32_t *count) {
  VCDIFFDECODER_CHECK(d);
  CHECK_POINTER(count);
  *count = d->sourceCount;
  return 1;
}

int VCDiffDecoder_Run(VCDiffDecoder *d, void *outputBytes, int64_t capacity, int64_t *length) {
  VCDIFFDECODER_CHECK(d);
  CHECK_POINTER(length);
  if (capacity < 0 || *length < 0 || *length > capacity) return 0;
  if (capacity > 0) CHECK_POINTER(outputBytes);
  auto *output = static_cast<uint8_t *>(outputBytes);
  const uint64_t limit = uint64_t(capacity), start = uint64_t(*length);
  const uint64_t segment = d->sourceSegmentSize;
  VCDiffSection *in = &d->instructions, *data = &d->data;
  VCDiffAddressCache *cache = d->addressCache;
  uint64_t position = start;
  while (in->position < in->length) {
    const VCDiffInstruction *slots = d->codeTable->entries[in->data[in->position++]];
    for (int s = 0; s < 2; ++s) {
      const VCDiffInstruction slot = slots[s];
      if (slot.type == VCDiffInstructionType::kNoop) continue;
      uint64_t size = slot.size;
      if (size == 0 && !VCDiff_ReadInteger(in, 0, &size)) goto fail;
      if (size > limit - position) goto fail;
      switch (slot.type) {
        case VCDiffInstructionType::kAdd:
          if (size > data->length - data->position) goto fail;
          if (size > 0) std::memcpy(output + position, data->data + data->position, size);
          data->position += size;
          break;
        case VCDiffInstructionType::kRun:
          if (in->position >= in->length) goto fail;
          if (size > 0) std::memset(output + position, in->data[in->position], size);
          ++in->position;
          break;
        case VCDiffInstructionType::kCopy: {
          uint64_t address = 0;
          if (!VCDiffAddressCache_Decode(cache, segment + (position - start), slot.mode, &address))
            goto fail;
          if (address < segment) {
            if (address > d->sourceLength || size > d->sourceLength - address) goto fail;
            if (size > 0) std::memcpy(output + position, d->source + address, size);
          } else {
            vcdiffCopyWithin(output, start + (address - segment), position, size);
          }
          break;
        }
        default:
          break;
      }
      position += size;
    }
  }
  *length = int64_t(position);
  return 1;
fail:
  *length = int64_t(position);
  return 0;
}
