// SPDX-License-Identifier: Apache-2.0
// histfeed-cache: lists, checks, decodes, salvages and resends what a
// queue's disk cache holds. It only reads the files it is asked about,
// except that salvage writes a new file and resend takes the frames it
// delivered out of the file it sends.
#ifndef HISTFEED_TOOLS_CACHE_CACHE_TOOL_H_
#define HISTFEED_TOOLS_CACHE_CACHE_TOOL_H_

#include <ostream>

namespace histfeed::cache_tool {

// Runs the program's command line; returns its exit status.
int RunCacheTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

const char* UsageText();

}  // namespace histfeed::cache_tool

#endif  // HISTFEED_TOOLS_CACHE_CACHE_TOOL_H_
