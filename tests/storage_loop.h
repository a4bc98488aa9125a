// StorageLoop: what the storage copy does with pieces, cut down to what the
// storage tests need: read pieces from one storage and write each into
// another, several in flight, then complete the files in list order.
//
// Threads: the test's thread, which must own the main queue (results come
// back on it); every wait is bounded.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/metafile.h"
#include "base/storage.h"

using StorageLoopCodes = std::pair<int32_t, int32_t>;

// Every piece index of meta, in order.
std::vector<int32_t> StorageLoop_AllPieces(MetaFile *meta);
// Reads each piece (in the order given) from `from` and, with `to`, writes
// it there, at most inFlight at once; done(piece, result) after each. The
// failed pieces with the result pair of their read, or of their write.
// With installed 1 the requests read the installed version's bytes
// (StorageRequest_SetInstalled).
std::map<int32_t, StorageLoopCodes> StorageLoop_Copy(
    Storage *from, Storage *to, MetaFile *meta, const std::vector<int32_t> &pieces, int inFlight,
    const std::function<void(int32_t, int32_t)> &done = nullptr, int32_t installed = 0);
// Completes every file of meta's list, issued in list order, at most eight
// at once.
// The failed names with their result pair.
std::map<std::string, StorageLoopCodes> StorageLoop_Complete(Storage *storage, MetaFile *meta);
