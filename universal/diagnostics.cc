// SPDX-License-Identifier: Apache-2.0
#include "universal/diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "histfeed.h"

namespace histfeed::universal {
namespace {

std::atomic<int32_t> debugMessageFlag{0};
std::atomic<MessageObserver> messageObserver{nullptr};

void PassFormatted(const char* format, va_list arguments) {
  char line[kMaxMessageLength + 1];
  std::vsnprintf(line, sizeof line, format, arguments);
  VornMxUniversalMessage(line);
  if (MessageObserver observer = messageObserver.load()) observer(line);
}

}  // namespace

void PassMessage(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PassFormatted(format, arguments);
  va_end(arguments);
}

void PassTrace(const char* format, ...) {
  if (!DebugMessagesOn()) return;
  va_list arguments;
  va_start(arguments, format);
  PassFormatted(format, arguments);
  va_end(arguments);
}

bool DebugMessagesOn() { return debugMessageFlag.load(std::memory_order_relaxed) != 0; }

void SetMessageObserver(MessageObserver observer) { messageObserver.store(observer); }

}  // namespace histfeed::universal

extern "C" {

HISTFEED_API int32_t HISTFEED_CALL VornMxSetDebugMsg(int32_t flag) {
  histfeed::universal::debugMessageFlag.store(flag);
  return flag;
}

HISTFEED_API int32_t HISTFEED_CALL VornMxIsDebugMsg(void) { return histfeed::universal::debugMessageFlag.load(); }

}  // extern "C"
