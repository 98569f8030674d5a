// SPDX-License-Identifier: Apache-2.0
// Files and directories. The library reaches the disk only through the
// current FileSystem, which tests replace with a wrapper that injects
// failures (a refused create, a short write, an undeletable file).
#ifndef HISTFEED_PLATFORM_FILE_SYSTEM_H_
#define HISTFEED_PLATFORM_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace histfeed::platform {

// The separator that paths built by the library use.
inline constexpr char kPathSeparator = '/';

// Whether `c` separates path components in a path given to the library.
// Both slash and backslash are accepted, so settings written for Windows
// paths keep working.
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }

// A binary file open for sequential writing.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Returns false when not every byte could be written.
  virtual bool Write(const void* data, size_t size) = 0;
  // Pushes what was written down to the disk itself, so that it survives a
  // crash of the process or the machine; false when that failed.
  virtual bool Sync() = 0;
  // Flushes and closes; returns false when that failed.
  virtual bool Close() = 0;
};

// A binary file open for sequential reading.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to `size` bytes; returns the count read (short at the end).
  virtual size_t Read(void* data, size_t size) = 0;
  // The file's length in bytes.
  virtual uint64_t Size() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Creates or truncates a file for writing; null when it cannot.
  virtual std::unique_ptr<OutputFile> CreateFile(const std::string& path) = 0;
  // Opens a file for appending, creating it if needed; null when it cannot.
  virtual std::unique_ptr<OutputFile> AppendFile(const std::string& path) = 0;
  // Opens an existing file for reading; null when it cannot.
  virtual std::unique_ptr<InputFile> OpenFile(const std::string& path) = 0;
  virtual bool RemoveFile(const std::string& path) = 0;
  // Gives `from` the name `to` in one step, replacing a file of that name:
  // a reader sees either the old file or the new one, never a mix.
  virtual bool RenameFile(const std::string& from, const std::string& to) = 0;
  // Makes the names created, renamed or removed in `directory` survive a
  // crash of the machine; false when that failed.
  virtual bool SyncDirectory(const std::string& directory) = 0;
  virtual bool Exists(const std::string& path) = 0;
  virtual bool IsDirectory(const std::string& path) = 0;
  // Creates the last component of `path`; its parent must exist.
  virtual bool MakeDirectory(const std::string& path) = 0;
  // Names (without directory) of the entries of `directory` that match
  // `pattern`, where '*' stands for any text and '?' for one character.
  virtual std::vector<std::string> FindFiles(const std::string& directory,
                                             const std::string& pattern) = 0;
  // The operating system's text for why the calling thread's last failed
  // file call failed, for messages.
  virtual std::string ErrorText() = 0;
};

// The file system the library uses now.
FileSystem& Files();
// The operating system's own file system.
FileSystem& DefaultFiles();
// Replaces the file system for tests; null restores the default.
void SetFilesForTesting(FileSystem* files);

// Forwards every call to another file system; tests override a few calls.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}
  std::unique_ptr<OutputFile> CreateFile(const std::string& path) override {
    return target_.CreateFile(path);
  }
  std::unique_ptr<OutputFile> AppendFile(const std::string& path) override {
    return target_.AppendFile(path);
  }
  std::unique_ptr<InputFile> OpenFile(const std::string& path) override {
    return target_.OpenFile(path);
  }
  bool RemoveFile(const std::string& path) override { return target_.RemoveFile(path); }
  bool RenameFile(const std::string& from, const std::string& to) override {
    return target_.RenameFile(from, to);
  }
  bool SyncDirectory(const std::string& directory) override {
    return target_.SyncDirectory(directory);
  }
  bool Exists(const std::string& path) override { return target_.Exists(path); }
  bool IsDirectory(const std::string& path) override { return target_.IsDirectory(path); }
  bool MakeDirectory(const std::string& path) override { return target_.MakeDirectory(path); }
  std::vector<std::string> FindFiles(const std::string& directory,
                                     const std::string& pattern) override {
    return target_.FindFiles(directory, pattern);
  }
  std::string ErrorText() override { return target_.ErrorText(); }

 private:
  FileSystem& target_;
};

// Whether `name` matches `pattern` ('*' any text, '?' one character).
bool MatchesWildcard(const std::string& name, const std::string& pattern);

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_FILE_SYSTEM_H_
