// Metafiles of the vector files, for the tests of the storage engine.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/metafile_util.h"
#include "tests/test_util.h"

struct TestMetaDeleter {
  void operator()(MetaFile *m) const { MetaFile_Destroy(&m); }
};
using TestMetaPtr = std::unique_ptr<MetaFile, TestMetaDeleter>;

// A metafile loaded from a vector file; the test fails when it does not load.
inline TestMetaPtr MetaFile_TestLoadVectors(const std::string &file) {
  MetaFile *m = nullptr;
  MetaFile_Create(&m);
  std::string text = Test_ReadVectors(file);
  MetaFileResult r = MetaFile_TestLoad(m, text.data(), int32_t(text.size()));
  EXPECT_EQ(r.code, 0u) << file;
  return TestMetaPtr(m);
}
