// Logging facade. It starts with no sink and its level off, and the module
// never installs a sink, so diagnostic records are dropped before they are
// formatted. Tests (and embedding hosts) may attach a sink.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace ulmora::log {

enum class Level : int { kOff = 0, kError = 1, kWarn = 2, kInfo = 3, kDebug = 4, kTrace = 5 };

struct Record {
  Level level;
  std::string_view target;
  std::string_view message;
  const char* file;
  int line;
};

using Sink = std::function<void(const Record&)>;

// Not thread-safe against concurrent logging: call before records flow.
void set_sink(Sink sink);
void set_max_level(Level level);

// True when a record at `level` would reach a sink.
bool enabled(Level level);

void emit(Level level, std::string_view target, const std::string& message, const char* file, int line);

}  // namespace ulmora::log

// The message expression is evaluated only when the record would be kept.
#define ULMORA_LOG(level, target, message_expr)                                         \
  do {                                                                                  \
    if (::ulmora::log::enabled(level))                                                  \
      ::ulmora::log::emit(level, target, (message_expr), __FILE__, __LINE__);           \
  } while (0)
