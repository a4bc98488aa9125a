// Helpers shared by the XML and property-list tests: the dump form of a
// Dictionary that tests/gen_xml.py writes (see there), building a Dictionary
// from it, and running the checker that gen_xml.py leaves in the vectors.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/formats/dictionary.h"
#include "tests/test_util.h"

inline std::string XmlTest_Hex(const char *bytes, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; i++) {
    out += kDigits[uint8_t(bytes[i]) >> 4];
    out += kDigits[uint8_t(bytes[i]) & 15];
  }
  return out;
}

inline std::string XmlTest_Unhex(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// The dump lines of d's items; declaration and comment items ('?', '!') are
// left out, hidden keys get their '#' back.
inline void XmlTest_Dump(Dictionary *d, int depth, std::vector<std::string> *out) {
  for (DictionaryItem *item = d->items.first; item != nullptr; item = item->next) {
    if (item->key != nullptr && (item->key[0] == '?' || item->key[0] == '!')) continue;
    int type = item->type & kDictionaryTypeMask;
    std::string key = "n";
    if (item->key != nullptr) {
      std::string k = item->key;
      if ((item->type & kDictionaryHiddenBit) && d->hashPrefix) k = "#" + k;
      key = "k" + XmlTest_Hex(k.data(), k.size());
    }
    std::string value;
    if (type == kDictionaryTypeString && item->value != nullptr) {
      value = XmlTest_Hex(item->value, item->valueLength);
    } else if (type == kDictionaryTypeBoolean) {
      value = XmlTest_Hex((item->type & kDictionaryBooleanBit) ? "1" : "0", 1);
    } else if (type == kDictionaryTypeInt64) {
      int64_t v = 0;
      Dictionary_GetItemInt64(d, item, &v);
      std::string text = std::to_string(v);
      value = XmlTest_Hex(text.data(), text.size());
    } else if (type == kDictionaryTypeFloat64) {
      double v = 0;
      Dictionary_GetItemFloat64(d, item, &v);
      uint64_t bits;
      memcpy(&bits, &v, 8);
      char be[8];
      for (int i = 0; i < 8; i++) be[i] = char(bits >> (56 - 8 * i));
      value = XmlTest_Hex(be, 8);
    }
    out->push_back(std::to_string(depth) + " " + std::to_string(type) + " " + key + " v" + value);
    if (type == kDictionaryTypeList || type == kDictionaryTypeDictionary)
      XmlTest_Dump(item->child, depth + 1, out);
  }
}

inline std::string XmlTest_DumpText(Dictionary *d) {
  std::vector<std::string> lines;
  XmlTest_Dump(d, 0, &lines);
  std::string out;
  for (auto &l : lines) out += l + "\n";
  return out;
}

// Builds the dump lines into d.
inline void XmlTest_Build(Dictionary *d, const std::vector<std::string> &lines) {
  std::vector<Dictionary *> stack{d};
  for (const std::string &line : lines) {
    std::istringstream in(line);
    int depth = 0, type = 0;
    std::string k, v;
    in >> depth >> type >> k >> v;
    stack.resize(depth + 1);
    Dictionary *c = stack[depth];
    std::string key = k == "n" ? "" : XmlTest_Unhex(k.substr(1));
    const char *keyp = k == "n" ? nullptr : key.c_str();
    std::string value = XmlTest_Unhex(v.substr(1));
    Dictionary *child = nullptr;
    switch (type) {
      case kDictionaryTypeString: Dictionary_AddString(c, keyp, value.c_str(), nullptr); break;
      case kDictionaryTypeBoolean: Dictionary_AddBoolean(c, keyp, value == "1", nullptr); break;
      case kDictionaryTypeInt64:
        Dictionary_AddInt64(c, keyp, std::stoll(value), nullptr);
        break;
      case kDictionaryTypeFloat64: {
        uint64_t bits = 0;
        for (int i = 0; i < 8; i++) bits = (bits << 8) | uint8_t(value[i]);
        double dv;
        memcpy(&dv, &bits, 8);
        Dictionary_AddFloat64(c, keyp, dv, nullptr);
        break;
      }
      case kDictionaryTypeList: Dictionary_AddList(c, keyp, &child, nullptr); break;
      case kDictionaryTypeDictionary: Dictionary_AddDictionary(c, keyp, &child, nullptr); break;
    }
    if (child != nullptr) stack.push_back(child);
  }
}

// One vector block: the "D"/"P" payload (unhexed) and the dump lines.
struct XmlTestBlock {
  std::string payload;
  std::vector<std::string> lines;
  std::string Expected() const {
    std::string out;
    for (auto &l : lines) out += l + "\n";
    return out;
  }
};

inline std::vector<XmlTestBlock> XmlTest_ReadBlocks(const std::string &file) {
  std::istringstream in(Test_ReadVectors(file));
  std::vector<XmlTestBlock> blocks(1);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "END") {
      blocks.emplace_back();
    } else if (line.rfind("D ", 0) == 0 || line.rfind("P ", 0) == 0) {
      blocks.back().payload = XmlTest_Unhex(line.substr(2));
    } else if (!line.empty()) {
      blocks.back().lines.push_back(line);
    }
  }
  blocks.pop_back();
  return blocks;
}

inline std::string XmlTest_TempFile(const std::string &name, const std::string &content) {
  // The process id keeps concurrent test runs (other build presets, other
  // checkouts) from writing one another's files.
  std::string path = testing::TempDir() + "keelson_" + std::to_string(getpid()) + "_" + name;
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

// Runs a command; its exit status (output goes to the test's own output).
inline int XmlTest_Run(const std::string &command) {
  int status = std::system((command + " 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
