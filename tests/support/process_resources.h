// SPDX-License-Identifier: Apache-2.0
// Counts of what the test process holds, to show that closing leaves no
// thread or socket behind. -1 where the system cannot tell.
#ifndef HISTFEED_TESTS_SUPPORT_PROCESS_RESOURCES_H_
#define HISTFEED_TESTS_SUPPORT_PROCESS_RESOURCES_H_

namespace histfeed::testing {

int OpenDescriptorCount();
int ThreadCount();

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_PROCESS_RESOURCES_H_
