// SPDX-License-Identifier: Apache-2.0
// Failures that tests can ask the platform layer to produce.
#ifndef HISTFEED_PLATFORM_FAULT_INJECTION_H_
#define HISTFEED_PLATFORM_FAULT_INJECTION_H_

namespace histfeed::platform {

// The next `count` thread starts fail as if the system refused them.
void FailNextThreadStarts(int count);

// The next `count` socket layer start-ups, socket creations, sends or
// readiness waits fail as if the system refused them.
void FailNextSocketStartups(int count);
void FailNextSocketOpens(int count);
void FailNextSocketSends(int count);
void FailNextSocketWaits(int count);

// For the operating system layers: each call uses up one requested
// failure of its kind and tells whether there was one to use.
bool ConsumeThreadStartFailure();
bool ConsumeSocketStartupFailure();
bool ConsumeSocketOpenFailure();
bool ConsumeSocketSendFailure();
bool ConsumeSocketWaitFailure();

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_FAULT_INJECTION_H_
