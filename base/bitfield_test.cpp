#include "base/bitfield.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

struct FieldGuard {
  BitField *f = nullptr;
  FieldGuard() { BitField_Create(&f); }
  ~FieldGuard() {
    if (f) BitField_Release(&f);
  }
};

// The field against its model: every bit, the count, and the bytes past the
// size (which every operation keeps 0).
void ExpectMatches(const BitField *f, const std::vector<bool> &model) {
  ASSERT_EQ(f->size, int32_t(model.size()));
  std::vector<uint8_t> packed(size_t(f->wordCount) * 8);
  int32_t count = 0;
  for (size_t i = 0; i < model.size(); i++) {
    if (model[i]) packed[i / 8] |= uint8_t(0x80 >> (i % 8));
    count += model[i];
  }
  ASSERT_EQ(f->setCount, count);
  if (!packed.empty()) {
    ASSERT_EQ(memcmp(f->bytes, packed.data(), packed.size()), 0);
  }
  for (int32_t i : {0, f->size / 2, f->size - 1}) {
    if (i >= 0 && i < f->size) {
      ASSERT_EQ(BitField_IsSet(f, i), int(model[size_t(i)]));
    }
  }
}

// One random operation on the field and the model alike.
void RandomStep(std::mt19937 &rng, BitField *f, BitField *other, std::vector<bool> &model,
                std::vector<bool> &otherModel) {
  int32_t size = int32_t(model.size());
  auto pick = [&](int32_t n) { return int32_t(rng() % uint32_t(n)); };
  int32_t first = size ? pick(size) : 0, count = pick(size + 70) - 5;
  int32_t clipped = std::max(0, std::min(count, size - first));
  switch (pick(11)) {
    case 0:
      if (size) BitField_Set(f, first), model[first] = true;
      break;
    case 1:
      if (size) BitField_Clear(f, first), model[first] = false;
      break;
    case 2:
      BitField_SetRange(f, first, count);
      for (int32_t i = 0; i < clipped; i++) model[first + i] = true;
      break;
    case 3:
      BitField_ClearRange(f, first, count);
      for (int32_t i = 0; i < clipped; i++) model[first + i] = false;
      break;
    case 4:
      BitField_Invert(f);
      model.flip();
      break;
    case 5:
      BitField_Combine(f, other);
      for (int32_t i = 0; i < size; i++) model[i] = model[i] || otherModel[i];
      break;
    case 6:
      BitField_Except(f, other);
      for (int32_t i = 0; i < size; i++) model[i] = model[i] && !otherModel[i];
      break;
    case 7: {
      if (size) BitField_Set(other, first), otherModel[first] = true;
      bool all = true;
      for (int32_t i = 0; i < clipped; i++) all = all && model[first + i];
      ASSERT_EQ(BitField_IsRangeSet(f, first, count), int(all));
      break;
    }
    case 8: {
      int32_t index = 7, expected = -1;
      for (int32_t i = 0; i < size && expected < 0; i++)
        if (!model[i]) expected = i;
      ASSERT_EQ(BitField_FindFirstClear(f, &index), int(expected >= 0));
      ASSERT_EQ(index, expected);
      break;
    }
    case 9:
      BitField_SetAll(f);
      model.assign(size, true);
      break;
    default: {
      int32_t run = 1 + pick(8), found = 0, expected = -1;
      for (int32_t start = first; start + run <= size && expected < 0; start++) {
        bool clear = true;
        for (int32_t i = 0; i < run; i++) clear = clear && !model[start + i];
        if (clear) expected = start;
      }
      ASSERT_EQ(BitField_FindClearRun(f, first, run, &found), int(expected >= 0));
      ASSERT_EQ(found, expected);
    }
  }
}

TEST(BitField, RandomOperationsMatchAVectorModel) {
  std::mt19937 rng(0xB17F1E1D);
  for (int32_t size = 0; size <= 200; size++) {
    FieldGuard f, other;
    BitField_Resize(f.f, size);
    BitField_Resize(other.f, size);
    std::vector<bool> model(size), otherModel(size);
    for (int step = 0; step < 60; step++) {
      RandomStep(rng, f.f, other.f, model, otherModel);
      if (HasFatalFailure()) return;
      ExpectMatches(f.f, model);
      if (HasFatalFailure()) return;
    }
  }
  // A large field, checked after each batch.
  FieldGuard f, other;
  constexpr int32_t kBits = 1000003;
  BitField_Resize(f.f, kBits);
  BitField_Resize(other.f, kBits);
  std::vector<bool> model(kBits), otherModel(kBits);
  for (int batch = 0; batch < 8; batch++) {
    for (int step = 0; step < 30; step++) RandomStep(rng, f.f, other.f, model, otherModel);
    ExpectMatches(f.f, model);
    if (HasFatalFailure()) return;
  }
}

TEST(BitField, MaskTextsMatchPython) {
  auto rows = Test_ReadRows("bitfield.txt");
  ASSERT_GT(rows.size(), 300u);
  for (auto &[line, row] : rows) {
    SCOPED_TRACE("bitfield.txt line " + std::to_string(line));
    int32_t size = std::stoi(row[1]);
    std::vector<bool> model(size);
    FieldGuard built, decoded;
    BitField_Resize(built.f, size);
    BitField_Resize(decoded.f, size);
    if (row[2] != "-") {
      std::stringstream bits(row[2]);
      for (std::string bit; std::getline(bits, bit, ',');) {
        BitField_Set(built.f, std::stoi(bit));
        model[std::stoi(bit)] = true;
      }
    }
    std::string text(row[3].size() + 8, '\0');
    ASSERT_EQ(BitField_Encode(built.f, text.data(), int64_t(text.size())), 1);
    EXPECT_EQ(std::string(text.c_str()), row[3]);
    ASSERT_EQ(BitField_Decode(decoded.f, row[3].c_str(), int32_t(row[3].size())), 1);
    ExpectMatches(decoded.f, model);
  }
}

TEST(BitField, EdgeCases) {
  FieldGuard f;
  BitField_Resize(f.f, 13);
  EXPECT_EQ(f.f->byteCount, 2);
  BitField_SetAll(f.f);
  EXPECT_EQ(f.f->bytes[1], 0xF8);
  EXPECT_EQ(f.f->setCount, 13);
  int32_t index = 5;
  EXPECT_EQ(BitField_FindFirstClear(f.f, &index), 0);
  EXPECT_EQ(index, -1);
  // A range reaching past the end tests only the bits that exist.
  EXPECT_EQ(BitField_IsRangeSet(f.f, 10, 100), 1);
  EXPECT_EQ(BitField_IsRangeSet(f.f, 13, 5), 1);  // empty after clipping
  BitField_Clear(f.f, 12);
  EXPECT_EQ(BitField_IsRangeSet(f.f, 10, 100), 0);

  // Reading: the byte count must match; trailing bits are dropped.
  const uint8_t bytes[2] = {0xFF, 0xFF};
  EXPECT_EQ(BitField_Read(f.f, bytes, 3), 0);
  EXPECT_EQ(BitField_Read(f.f, bytes, 2), 1);
  EXPECT_EQ(f.f->bytes[1], 0xF8);
  EXPECT_EQ(f.f->setCount, 13);
  EXPECT_EQ(BitField_Resize(f.f, -1), 0);
  EXPECT_EQ(f.f->size, 13);

  // A mask of the wrong length or a broken text leaves the field as it was.
  TestLogCapture capture;
  BitField_Clear(f.f, 0);
  EXPECT_EQ(BitField_Decode(f.f, "AAAA", 4), 0);  // 3 bytes for a 2-byte field
  EXPECT_EQ(BitField_Decode(f.f, "A*==", 4), 0);
  EXPECT_EQ(f.f->setCount, 12);
  std::string lines = capture.Take();
  EXPECT_NE(lines.find("Error: Unable to read bitfield"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Error: Unable to decode bitfield"), std::string::npos) << lines;
  // Decode reads only the given length of the text.
  EXPECT_EQ(BitField_Decode(f.f, "//g=trailing", 4), 1);
  EXPECT_EQ(f.f->setCount, 13);

  // A field of size 0: nothing to set, nothing to find.
  FieldGuard empty;
  EXPECT_EQ(BitField_SetAll(empty.f), 1);
  EXPECT_EQ(BitField_FindFirstClear(empty.f, &index), 0);
  EXPECT_EQ(BitField_SetRange(empty.f, 0, 0), 1);
}

TEST(BitFieldDeathTest, MisuseStops) {
  FieldGuard f, other;
  BitField_Resize(f.f, 8);
  BitField_Resize(other.f, 9);
  EXPECT_DEATH(BitField_Set(f.f, 8), "Bit outside boundary 8 >= 8");
  EXPECT_DEATH(BitField_IsSet(f.f, -1), "Bit outside boundary -1 >= 8");
  EXPECT_DEATH(BitField_Combine(f.f, other.f), "Bit mismatch on combine \\(8 != 9\\)");
  EXPECT_DEATH(BitField_Except(f.f, other.f), "Bit mismatch on except \\(8 != 9\\)");
}

}  // namespace
