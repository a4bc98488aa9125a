// EngineLog: the class-log habits the storage engine's pumped objects share
// (copy, clean-up, piece queue): an owner's sink takes every line whatever
// the class's verbosity, and a line is formatted only when someone takes it.
//
// Threads: the owning object's.
#pragma once

#include <cstdarg>

#include "core/runtime/class.h"
#include "core/runtime/log.h"

// Routes the log's lines to sink(context, ...); NULL goes back to the
// global log at the class's own verbosity.
inline void EngineLog_SetSink(ClassLog *log, void *context, ClassLogSink sink) {
  log->sinkContext = context;
  log->sink = sink;
  if (sink != nullptr) {
    log->forced = 1;
    log->level.store(LOG_DEBUG);
    log->lookedUp.store(1, std::memory_order_release);
  }
}

// One DEBUG line, tested before it is formatted.
inline void EngineLog_Print(ClassLog *log, const char *format, ...) {
  if (!Class_LogEnabled(log, LOG_DEBUG)) return;
  if (log->sink == nullptr && !Log_IsEnabled()) return;
  va_list args;
  va_start(args, format);
  Class_LogPrint(log, 0, format, args);
  va_end(args);
}
