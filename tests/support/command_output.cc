// SPDX-License-Identifier: Apache-2.0
#include "tests/support/command_output.h"

#include <sys/wait.h>

#include <cstdio>

namespace histfeed::testing {

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[512];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output->append(chunk);
  int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace histfeed::testing
