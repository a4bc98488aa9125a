// Platform: the operations the portable modules ask of the operating system.
// Each is implemented once per platform under core/posix/ (a later
// core/windows/ beside it).
//
// Threads: any thread unless an operation says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

// Fills buffer with size bytes from the system's random source. Returns 1;
// a source that fails stops the program, so callers never see a short fill.
int Platform_RandomBytes(void *buffer, size_t size);
