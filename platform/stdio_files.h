// SPDX-License-Identifier: Apache-2.0
// Files of the C library's streams, as the default file system hands them
// out on every operating system. Each system defines the two calls below
// that the streams cannot make portably.
#ifndef HISTFEED_PLATFORM_STDIO_FILES_H_
#define HISTFEED_PLATFORM_STDIO_FILES_H_

#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/file_system.h"

namespace histfeed::platform {

// Take over an open stream; the file closes it.
std::unique_ptr<OutputFile> StdioOutputFile(std::FILE* file);
std::unique_ptr<InputFile> StdioInputFile(std::FILE* file);

namespace os {
// Writes what the system holds of a flushed stream to the disk.
bool SyncStream(std::FILE* file);
// The size of the stream's file in bytes; 0 when the system cannot tell.
uint64_t StreamFileSize(std::FILE* file);
}  // namespace os

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_STDIO_FILES_H_
