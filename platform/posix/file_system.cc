// SPDX-License-Identifier: Apache-2.0
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/no_destructor.h"
#include "platform/stdio_files.h"

namespace histfeed::platform {

bool os::SyncStream(std::FILE* file) { return fsync(fileno(file)) == 0; }

uint64_t os::StreamFileSize(std::FILE* file) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return 0;
  return static_cast<uint64_t>(info.st_size);
}

namespace {

// strerror_r comes in a GNU form that returns the text and a POSIX form
// that fills the buffer; either serves.
[[maybe_unused]] const char* ChosenText(const char* returned, const char*) { return returned; }
[[maybe_unused]] const char* ChosenText(int, const char* buffer) { return buffer; }

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && IsPathSeparator(path.back())) path.pop_back();
  return path;
}

class PosixFileSystem : public FileSystem {
 public:
  std::unique_ptr<OutputFile> CreateFile(const std::string& path) override {
    return OpenOutput(path, "wb");
  }
  std::unique_ptr<OutputFile> AppendFile(const std::string& path) override {
    return OpenOutput(path, "ab");
  }
  std::unique_ptr<InputFile> OpenFile(const std::string& path) override {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return nullptr;
    return StdioInputFile(file);
  }
  bool RemoveFile(const std::string& path) override { return std::remove(path.c_str()) == 0; }
  bool RenameFile(const std::string& from, const std::string& to) override {
    return std::rename(from.c_str(), to.c_str()) == 0;
  }
  bool SyncDirectory(const std::string& directory) override {
    std::string where = directory.empty() ? "." : WithoutTrailingSeparators(directory);
    int handle = open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle < 0) return false;
    bool synced = fsync(handle) == 0;
    int error = errno;
    close(handle);
    errno = error;
    return synced;
  }
  bool Exists(const std::string& path) override {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
  }
  bool IsDirectory(const std::string& path) override {
    struct stat info;
    return stat(WithoutTrailingSeparators(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  bool MakeDirectory(const std::string& path) override {
    return mkdir(WithoutTrailingSeparators(path).c_str(), 0777) == 0;
  }
  std::vector<std::string> FindFiles(const std::string& directory,
                                     const std::string& pattern) override {
    std::vector<std::string> names;
    std::string where = directory.empty() ? "." : WithoutTrailingSeparators(directory);
    DIR* listing = opendir(where.c_str());
    if (listing == nullptr) return names;
    while (dirent* entry = readdir(listing)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (MatchesWildcard(name, pattern)) names.push_back(name);
    }
    closedir(listing);
    return names;
  }
  std::string ErrorText() override {
    char text[256] = "";
    return ChosenText(strerror_r(errno, text, sizeof text), text);
  }

 private:
  static std::unique_ptr<OutputFile> OpenOutput(const std::string& path, const char* mode) {
    std::FILE* file = std::fopen(path.c_str(), mode);
    if (file == nullptr) return nullptr;
    return StdioOutputFile(file);
  }
};

}  // namespace

FileSystem& DefaultFiles() {
  static NoDestructor<PosixFileSystem> files;
  return *files;
}

}  // namespace histfeed::platform
