// A small model of a metafile's stream layout, independent of the reader:
// a layout is drawn as files with pad runs inside, before or after their
// data, and everything a loaded metafile must say about it (where each file
// sits, the pad each file owns, each piece's length and the file data each
// piece holds) is read off a byte map of the stream.
//
// Two ways of writing pads: a "pad" list of stream ranges (list mode), or
// each file's own "pad" (own mode, where a pad may not cross a piece
// boundary). In list mode the ranges carry no owner: every pad byte belongs
// to the extent of the last file whose data came before it, and pad before
// the first data byte to the first file with data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

struct LayoutFile {
  std::string name;
  std::string link;  // empty: not a link
  int64_t size = 0;
  // List mode: pad runs (size, possibly 0) inserted before data byte
  // `at` (0..size; at == size is after the data), in order.
  std::vector<std::pair<int64_t, int64_t>> runs;
  int64_t ownPad = -1;  // own mode: the entry's "pad"; -1 none
};

struct Layout {
  int64_t pieceSize = 1;
  bool padList = false;
  std::vector<LayoutFile> files;
};

struct LayoutRun {
  int32_t file;
  int64_t fileOffset;
  int64_t length;
  bool operator==(const LayoutRun &o) const {
    return file == o.file && fileOffset == o.fileOffset && length == o.length;
  }
};

struct LayoutExpect {
  std::vector<std::pair<int64_t, int64_t>> ranges;  // list mode: the "pad" list
  std::vector<int64_t> offset, pad;                  // per file
  std::vector<int32_t> pieceLength;
  std::vector<std::vector<LayoutRun>> pieceRuns;  // file data per piece, merged
  int64_t stream = 0;
};

// Appends a run to runs, joining it to the last when it continues it.
inline void Layout_AddRun(std::vector<LayoutRun> &runs, LayoutRun run) {
  if (run.length == 0) return;
  if (!runs.empty() && runs.back().file == run.file &&
      runs.back().fileOffset + runs.back().length == run.fileOffset) {
    runs.back().length += run.length;
    return;
  }
  runs.push_back(run);
}

inline LayoutExpect Layout_Expect(const Layout &l) {
  LayoutExpect e;
  // The byte map: per stream byte, the file whose data it is (and where in
  // that file), or -1 for a pad byte.
  std::vector<int32_t> owner;
  std::vector<int64_t> at;
  auto pad = [&](int64_t n) {
    if (l.padList) e.ranges.push_back({int64_t(owner.size()), n});
    owner.insert(owner.end(), size_t(n), -1);
    at.insert(at.end(), size_t(n), -1);
  };
  std::vector<int64_t> ownStart(l.files.size());
  for (size_t k = 0; k < l.files.size(); k++) {
    const LayoutFile &f = l.files[k];
    ownStart[k] = int64_t(owner.size());
    size_t run = 0;
    for (int64_t b = 0; b <= f.size; b++) {
      for (; run < f.runs.size() && f.runs[run].first == b; run++) pad(f.runs[run].second);
      if (b == f.size) break;
      owner.push_back(int32_t(k));
      at.push_back(b);
    }
    if (!l.padList && f.ownPad > 0) {
      owner.insert(owner.end(), size_t(f.ownPad), -1);
      at.insert(at.end(), size_t(f.ownPad), -1);
    }
  }
  e.stream = int64_t(owner.size());
  e.offset.assign(l.files.size(), 0);
  e.pad.assign(l.files.size(), 0);
  if (!l.padList) {
    for (size_t k = 0; k < l.files.size(); k++) {
      e.offset[k] = ownStart[k];
      e.pad[k] = l.files[k].ownPad > 0 ? l.files[k].ownPad : 0;
    }
  } else {
    // Extents: a file with data runs from its first data byte (0 for the
    // first such file) to the next such file's first data byte (the end of
    // the stream for the last). An empty file sits where the next extent
    // starts.
    std::vector<int64_t> first(l.files.size(), -1);
    for (int64_t b = e.stream - 1; b >= 0; b--)
      if (owner[size_t(b)] >= 0) first[size_t(owner[size_t(b)])] = b;
    int64_t next = e.stream;
    bool seenData = false;
    for (size_t k = l.files.size(); k-- > 0;) {
      if (l.files[k].size == 0) {
        e.offset[k] = next;
        continue;
      }
      e.pad[k] = next - first[k] - l.files[k].size;
      e.offset[k] = next = first[k];
      seenData = true;
    }
    // Pad before the first data byte belongs to the first file with data.
    for (size_t k = 0; seenData && k < l.files.size(); k++) {
      if (l.files[k].size == 0) {
        e.offset[k] = 0;
        continue;
      }
      e.pad[k] += e.offset[k];
      e.offset[k] = 0;
      break;
    }
  }
  int64_t s = l.pieceSize;
  for (int64_t start = 0; start < e.stream; start += s) {
    int64_t padded = 0;
    std::vector<LayoutRun> runs;
    for (int64_t b = start; b < std::min(start + s, e.stream); b++) {
      if (owner[size_t(b)] < 0)
        padded++;
      else
        Layout_AddRun(runs, {owner[size_t(b)], at[size_t(b)], 1});
    }
    // Own pads are data as far as piece lengths go: only a pad list
    // shortens a piece.
    e.pieceLength.push_back(int32_t(l.padList ? s - padded : s));
    e.pieceRuns.push_back(runs);
  }
  return e;
}

// The metafile document of a layout, with one dummy SHA1 digest per piece.
inline std::string Layout_Document(const Layout &l, const LayoutExpect &e) {
  std::string doc = "{\"id\":\"drawn\",\"files\":[";
  for (size_t k = 0; k < l.files.size(); k++) {
    const LayoutFile &f = l.files[k];
    doc += std::string(k ? "," : "") + "{\"name\":\"" + f.name +
           "\",\"size\":" + std::to_string(f.size);
    if (!f.link.empty()) doc += ",\"link\":\"" + f.link + "\",\"attr\":8";
    if (f.ownPad >= 0) doc += ",\"pad\":" + std::to_string(f.ownPad);
    doc += "}";
  }
  doc += "]";
  if (l.padList) {
    doc += ",\"pad\":[";
    for (size_t i = 0; i < e.ranges.size(); i++)
      doc += std::string(i ? "," : "") + "{\"offset\":" + std::to_string(e.ranges[i].first) +
             ",\"size\":" + std::to_string(e.ranges[i].second) + "}";
    doc += "]";
  }
  doc += ",\"pieces\":{\"size\":" + std::to_string(l.pieceSize) + ",\"digests\":[";
  for (size_t i = 0; i < e.pieceLength.size(); i++)
    doc += std::string(i ? "," : "") + "\"AAAAAAAAAAAAAAAAAAAAAAAAAAA=\"";
  return doc + "]}}";
}
