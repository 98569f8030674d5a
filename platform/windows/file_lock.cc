// SPDX-License-Identifier: Apache-2.0
#include "platform/file_lock.h"

#include <windows.h>

namespace histfeed::platform {
namespace {

// A byte far past any data: Windows locks keep others from the bytes
// they cover, and no reader or writer of the file ever goes there.
constexpr DWORD kLockedOffsetHigh = 0x7fff0000;

class WindowsFileLock : public FileLock {
 public:
  explicit WindowsFileLock(HANDLE file) : file_(file) {}
  ~WindowsFileLock() override { CloseHandle(file_); }

 private:
  HANDLE file_;
};

std::string LastErrorText() {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 GetLastError(), 0, text, sizeof text, nullptr);
  return text;
}

}  // namespace

std::unique_ptr<FileLock> FileLock::TryLock(const std::string& path, bool* busy,
                                            std::string* error) {
  *busy = false;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = LastErrorText();
    return nullptr;
  }
  OVERLAPPED at = {};
  at.OffsetHigh = kLockedOffsetHigh;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    *busy = GetLastError() == ERROR_LOCK_VIOLATION;
    *error = LastErrorText();
    CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<WindowsFileLock>(file);
}

}  // namespace histfeed::platform
