// SPDX-License-Identifier: Apache-2.0
#include "service/event_log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/mutex.h"

namespace histfeed::service {
namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::duration kClientWindow = std::chrono::seconds(1);

struct EventLog {
  platform::Mutex mutex;
  // The current window of client lines.
  Clock::time_point windowStart GUARDED_BY(mutex);
  int written GUARDED_BY(mutex) = 0;
  int64_t leftOut GUARDED_BY(mutex) = 0;
};

EventLog& TheLog() {
  static EventLog* log = new EventLog;  // never destroyed: threads may log at exit
  return *log;
}

std::atomic<bool> quietLog{false};

void WriteLine(const char* line) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::fprintf(stderr, "%s histfeed-service: %s\n", stamp, line);
}

// Ends the window when it is over, saying how many lines it left out.
void CloseWindowIfOver(EventLog& log, Clock::time_point now) REQUIRES(log.mutex) {
  Clock::duration length = now - log.windowStart;
  if (length < kClientWindow) return;
  if (log.leftOut > 0) {
    char line[160];
    std::snprintf(line, sizeof line, "%lld more lines about clients left out in the last %lld s",
                  static_cast<long long>(log.leftOut),
                  static_cast<long long>(
                      std::chrono::ceil<std::chrono::seconds>(length).count()));
    WriteLine(line);
  }
  log.windowStart = now;
  log.written = 0;
  log.leftOut = 0;
}

}  // namespace

void SetEventLogQuiet(bool quiet) { quietLog = quiet; }

void LogEvent(const char* format, ...) {
  if (quietLog) return;
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  EventLog& log = TheLog();
  platform::MutexLock lock(log.mutex);
  WriteLine(line);
}

void LogClientEvent(const char* format, ...) {
  if (quietLog) return;
  EventLog& log = TheLog();
  {
    platform::MutexLock lock(log.mutex);
    CloseWindowIfOver(log, Clock::now());
    if (log.written >= kClientLinesPerSecond) {
      ++log.leftOut;
      return;
    }
    ++log.written;
  }
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  platform::MutexLock lock(log.mutex);
  WriteLine(line);
}

void FlushClientEvents() {
  if (quietLog) return;
  EventLog& log = TheLog();
  platform::MutexLock lock(log.mutex);
  CloseWindowIfOver(log, Clock::now());
}

}  // namespace histfeed::service
