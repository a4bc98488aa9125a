// AsyncFileAdopt: the entry through which core/posix/rootdir.cpp hands an
// AsyncFile a descriptor it opened itself below a root (AsyncFile_Open
// would resolve the path and make parents on its own), and the file times
// both share.
//
// Threads: as AsyncFile_Open.
#pragma once

#include <cstdint>

struct AsyncFile;

// The open(2) flags of AsyncFile's open flags (cutting and positioning come
// after the open); -1 without read or write.
int AsyncFile_OpenFlagsOf(uint32_t flags);
// Takes over fd (direct 1: opened with O_DIRECT), opened on path with flags,
// as the closed file's handle: cuts and positions it as the flags say and
// joins it to the I/O worker. 1; 0 with fd closed and the error kept.
int AsyncFile_Adopt(AsyncFile *file, int fd, int direct, const char *path, uint32_t flags);
// A modified time as AsyncFile_SetModifiedTime takes it, in whole seconds
// and nanoseconds. 0 when it is out of the range a file can be given (13).
int AsyncFile_SplitTime(double seconds, int64_t *whole, int32_t *nanoseconds);
