// SPDX-License-Identifier: Apache-2.0
// One line per event on standard error, safe from several threads.
#ifndef HISTFEED_SERVICE_EVENT_LOG_H_
#define HISTFEED_SERVICE_EVENT_LOG_H_

namespace histfeed::service {

void LogEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetEventLogQuiet(bool quiet);

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_EVENT_LOG_H_
