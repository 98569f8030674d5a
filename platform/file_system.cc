// SPDX-License-Identifier: Apache-2.0
// The file system every caller goes through: the operating system's
// (posix/file_system.cc, windows/file_system.cc), unless a test has put a
// wrapper in its place.
#include <atomic>

#include "platform/file_system.h"

namespace histfeed::platform {
namespace {

std::atomic<FileSystem*> currentFiles{nullptr};

}  // namespace

FileSystem& Files() {
  FileSystem* files = currentFiles.load(std::memory_order_acquire);
  return files != nullptr ? *files : DefaultFiles();
}

void SetFilesForTesting(FileSystem* files) {
  currentFiles.store(files, std::memory_order_release);
}

}  // namespace histfeed::platform
