// Debug log. Lines go to a sink that the host program installs; without one they go nowhere.
#ifndef FSBMP_SERVICES_DEBUG_H
#define FSBMP_SERVICES_DEBUG_H

#include <cstdarg>

#include "fsbmp/export.h"

// Receives one finished log line: the tag ("FsParserExt2::init"), its level (0 for Debug) and
// the text without a line end. `context` is what was given to SetSink.
typedef void (*PdDebugSink)(void* context, const char* tag, int level, const char* line);

// A per-writer destination. A writer constructed with null uses the process-wide sink.
struct FSBMP_API PdDebugFileInstance {
  PdDebugSink sink;
  void* context;
};

class FSBMP_API PdDebug {
 public:
  explicit PdDebug(PdDebugFileInstance* instance = nullptr) : instance_(instance) {}

  void Debug(const char* tag, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void DebugLvl(const char* tag, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // Whether a line written now would reach a sink: callers skip building many lines without one.
  bool enabled() const;

  // Installs the process-wide sink (null: discard). Safe to call from any thread.
  static void SetSink(PdDebugSink sink, void* context);

 private:
  void write(const char* tag, int level, const char* format, va_list args);
  PdDebugFileInstance* instance_;
};

#endif
