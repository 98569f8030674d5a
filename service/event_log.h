// SPDX-License-Identifier: Apache-2.0
// One line per event on standard error, safe from several threads.
//
// Lines that clients cause (a connection opened, closed or refused, a
// frame refused) go through LogClientEvent: a few per second are written,
// the rest are counted, and one line per interval says how many were
// left out, so that a flood of connections cannot flood the log.
#ifndef HISTFEED_SERVICE_EVENT_LOG_H_
#define HISTFEED_SERVICE_EVENT_LOG_H_

namespace histfeed::service {

// Client lines written per second; beyond them a summary line.
inline constexpr int kClientLinesPerSecond = 5;

void LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogClientEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes the count of client lines left out, if any: called now and then,
// so the count appears even when no further client line comes.
void FlushClientEvents();
void SetEventLogQuiet(bool quiet);

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_EVENT_LOG_H_
