#include "fsbmp/services/debug.h"

#include <atomic>
#include <mutex>
#include <string>

#include "services/format.h"

namespace {

std::mutex gSinkMutex;
PdDebugSink gSink = nullptr;
void* gSinkContext = nullptr;
std::atomic<bool> gHaveSink{false};

}  // namespace

void PdDebug::SetSink(PdDebugSink sink, void* context) {
  std::lock_guard<std::mutex> lock(gSinkMutex);
  gSink = sink;
  gSinkContext = context;
  gHaveSink.store(sink != nullptr, std::memory_order_release);
}

bool PdDebug::enabled() const {
  return (instance_ && instance_->sink) || gHaveSink.load(std::memory_order_acquire);
}

void PdDebug::write(const char* tag, int level, const char* format, va_list args) {
  if (instance_ && instance_->sink) {
    std::string line = fsbmp::vformat(format, args);
    instance_->sink(instance_->context, tag, level, line.c_str());
    return;
  }
  if (!gHaveSink.load(std::memory_order_acquire)) return;
  std::string line = fsbmp::vformat(format, args);
  std::lock_guard<std::mutex> lock(gSinkMutex);
  if (gSink) gSink(gSinkContext, tag, level, line.c_str());
}

void PdDebug::Debug(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write(tag, 0, format, args);
  va_end(args);
}

void PdDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write(tag, level, format, args);
  va_end(args);
}
