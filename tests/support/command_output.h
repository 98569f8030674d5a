// SPDX-License-Identifier: Apache-2.0
// Runs a shell command for a test and keeps what it wrote.
#ifndef HISTFEED_TESTS_SUPPORT_COMMAND_OUTPUT_H_
#define HISTFEED_TESTS_SUPPORT_COMMAND_OUTPUT_H_

#include <string>

namespace histfeed::testing {

// Runs `command` with /bin/sh and appends its standard output to *output;
// its exit status, or -1 when it did not exit.
int RunCommand(const std::string& command, std::string* output);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_COMMAND_OUTPUT_H_
