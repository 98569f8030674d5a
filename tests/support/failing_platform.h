// SPDX-License-Identifier: Apache-2.0
// Sockets and threads that fail when a test asks them to, through the same
// seam as failing files: a wrapper around the operating system's own that
// overrides the calls to break. The wrappers are installed on first use
// and stay installed for the rest of the process, so that a library thread
// still inside a call when a test ends never meets a destroyed wrapper;
// with nothing requested they only forward.
#ifndef HISTFEED_TESTS_SUPPORT_FAILING_PLATFORM_H_
#define HISTFEED_TESTS_SUPPORT_FAILING_PLATFORM_H_

namespace histfeed::testing {

// The next `count` socket layer start-ups, socket creations, sends or
// readiness waits (plain or before a receive) fail as if the system
// refused them.
void FailNextSocketStartups(int count);
void FailNextSocketOpens(int count);
void FailNextSocketSends(int count);
void FailNextSocketWaits(int count);

// The next `count` thread starts fail as if the system refused them.
void FailNextThreadStarts(int count);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_FAILING_PLATFORM_H_
