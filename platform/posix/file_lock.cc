// SPDX-License-Identifier: Apache-2.0
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace histfeed::platform {
namespace {

class PosixFileLock : public FileLock {
 public:
  explicit PosixFileLock(int fd) : fd_(fd) {}
  ~PosixFileLock() override { close(fd_); }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<FileLock> FileLock::TryLock(const std::string& path, bool* busy,
                                            std::string* error) {
  *busy = false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  // flock, not fcntl: closing another descriptor of the file (as SQLite
  // does) does not let it go, and it leaves SQLite's own byte locks alone.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *busy = errno == EWOULDBLOCK;
    *error = std::strerror(errno);
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFileLock>(fd);
}

}  // namespace histfeed::platform
