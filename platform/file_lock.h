// SPDX-License-Identifier: Apache-2.0
// A lock on a whole file between processes, held while the object lives
// and let go when the process ends however it ends. It keeps out only
// others who ask for it too, and is apart from the locks SQLite takes.
#ifndef HISTFEED_PLATFORM_FILE_LOCK_H_
#define HISTFEED_PLATFORM_FILE_LOCK_H_

#include <memory>
#include <string>

namespace histfeed::platform {

class FileLock {
 public:
  virtual ~FileLock() = default;

  // Locks the existing file at `path` for this process alone. Null, with
  // the reason in *error, when another process holds it or it cannot be
  // opened; *busy then says which.
  static std::unique_ptr<FileLock> TryLock(const std::string& path, bool* busy,
                                           std::string* error);
};

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_FILE_LOCK_H_
