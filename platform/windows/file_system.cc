// SPDX-License-Identifier: Apache-2.0
#include <io.h>
#include <windows.h>
// The file system interface has a CreateFile of its own.
#undef CreateFile

#include "platform/file_system.h"

#include <cstdio>
#include <string>

#include "platform/no_destructor.h"
#include "platform/stdio_files.h"

namespace histfeed::platform {

bool os::SyncStream(std::FILE* file) { return _commit(_fileno(file)) == 0; }

uint64_t os::StreamFileSize(std::FILE* file) {
  long long length = _filelengthi64(_fileno(file));
  return length < 0 ? 0 : static_cast<uint64_t>(length);
}

namespace {

// Windows refuses a trailing separator on most calls; a drive root ("C:\")
// keeps its own.
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && IsPathSeparator(path.back()) && path[path.size() - 2] != ':') {
    path.pop_back();
  }
  return path;
}

DWORD Attributes(const std::string& path) {
  return GetFileAttributesA(WithoutTrailingSeparators(path).c_str());
}

class WindowsFileSystem : public FileSystem {
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
  bool RemoveFile(const std::string& path) override { return DeleteFileA(path.c_str()) != 0; }
  bool RenameFile(const std::string& from, const std::string& to) override {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
  // A directory's names are written through with each MoveFileEx above;
  // Windows has no handle on a directory to flush.
  bool SyncDirectory(const std::string&) override { return true; }
  bool Exists(const std::string& path) override {
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
  }
  bool IsDirectory(const std::string& path) override {
    DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  bool MakeDirectory(const std::string& path) override {
    return CreateDirectoryA(WithoutTrailingSeparators(path).c_str(), nullptr) != 0;
  }
  std::vector<std::string> FindFiles(const std::string& directory,
                                     const std::string& pattern) override {
    std::vector<std::string> names;
    std::string where = directory.empty() ? "." : WithoutTrailingSeparators(directory);
    // The system's own matching differs from ours (8.3 names, "*.*"), so
    // list everything and match here.
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((where + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      if (MatchesWildcard(name, pattern)) names.push_back(name);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return names;
  }
  std::string ErrorText() override {
    DWORD error = GetLastError();
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
      text[--length] = '\0';
    }
    if (length == 0) return "error " + std::to_string(error);
    return text;
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
  static NoDestructor<WindowsFileSystem> files;
  return *files;
}

}  // namespace histfeed::platform
