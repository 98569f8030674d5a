// SPDX-License-Identifier: Apache-2.0
#include "service/event_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace histfeed::service {
namespace {
std::mutex logMutex;
std::atomic<bool> quietLog{false};
}  // namespace

void SetEventLogQuiet(bool quiet) { quietLog = quiet; }

void LogEvent(const char* format, ...) {
  if (quietLog) return;
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  std::lock_guard<std::mutex> lock(logMutex);
  std::fprintf(stderr, "%s histfeed-service: %s\n", stamp, line);
}

}  // namespace histfeed::service
