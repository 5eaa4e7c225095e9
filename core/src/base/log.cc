#include "base/log.h"

#include <atomic>
#include <utility>

namespace ulmora::log {

namespace {

// The level is atomic because `enabled` runs on search threads without any
// lock; the sink itself is installed before records flow (see log.h).
std::atomic<int> g_max_level{static_cast<int>(Level::kOff)};
std::atomic<bool> g_has_sink{false};

Sink& sink() {
  static Sink s;
  return s;
}

}  // namespace

void set_sink(Sink s) {
  const bool present = static_cast<bool>(s);
  sink() = std::move(s);
  g_has_sink.store(present, std::memory_order_release);
}

void set_max_level(Level level) { g_max_level.store(static_cast<int>(level), std::memory_order_release); }

bool enabled(Level level) {
  if (level == Level::kOff) return false;
  if (static_cast<int>(level) > g_max_level.load(std::memory_order_acquire)) return false;
  return g_has_sink.load(std::memory_order_acquire);
}

void emit(Level level, std::string_view target, const std::string& message, const char* file, int line) {
  if (!enabled(level)) return;
  sink()(Record{level, target, message, file, line});
}

}  // namespace ulmora::log
