// SPDX-License-Identifier: Apache-2.0
// Diagnostic lines of the universal family. Each line is formatted into a
// bounded buffer and passed to the exported, do-nothing message sink,
// where outside observers intercept it; tests watch through an internal
// observer instead.
#ifndef HISTFEED_UNIVERSAL_DIAGNOSTICS_H_
#define HISTFEED_UNIVERSAL_DIAGNOSTICS_H_

#include <cstdint>

namespace histfeed::universal {

// Longest line passed on; longer lines are cut.
inline constexpr int kMaxMessageLength = 511;

// Passes a line whatever the debug message flag says.
void PassMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Passes a trace line, only while the debug message flag is nonzero.
void PassTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

bool DebugMessagesOn();

// Receives every line after the message sink. Not exported.
using MessageObserver = void (*)(const char* line);
void SetMessageObserver(MessageObserver observer);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_DIAGNOSTICS_H_
