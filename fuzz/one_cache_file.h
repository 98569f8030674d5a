// SPDX-License-Identifier: Apache-2.0
// A file system of one directory, "F/", holding one cache file, "Q1.que",
// whose contents are the fuzz input. Writes are discarded; the file is
// gone once it is removed or renamed, and a rename to a ".bad" name is
// noted, since that is how the queue sets a damaged file aside.
#ifndef HISTFEED_FUZZ_ONE_CACHE_FILE_H_
#define HISTFEED_FUZZ_ONE_CACHE_FILE_H_

#include <memory>
#include <string>
#include <vector>

#include "fuzz/memory_input.h"
#include "platform/file_system.h"

namespace histfeed::fuzz {

class DiscardingOutput : public platform::OutputFile {
 public:
  bool Write(const void*, size_t) override { return true; }
  bool Sync() override { return true; }
  bool Close() override { return true; }
};

class OneCacheFile : public platform::FileSystem {
 public:
  static constexpr const char* kPath = "F/Q1.que";

  OneCacheFile(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool setAside() const { return setAside_; }

  std::unique_ptr<platform::OutputFile> CreateFile(const std::string&) override {
    return std::make_unique<DiscardingOutput>();
  }
  std::unique_ptr<platform::OutputFile> AppendFile(const std::string&) override { return nullptr; }
  std::unique_ptr<platform::InputFile> OpenFile(const std::string& path) override {
    if (removed_ || path != kPath) return nullptr;
    return std::make_unique<MemoryInput>(data_, size_);
  }
  bool RemoveFile(const std::string&) override { return removed_ = true; }
  bool RenameFile(const std::string&, const std::string& to) override {
    setAside_ = setAside_ || to.ends_with(".bad");
    return removed_ = true;
  }
  bool SyncDirectory(const std::string&) override { return true; }
  std::string ErrorText() override { return "fuzzing"; }
  bool Exists(const std::string& path) override { return !removed_ && path == kPath; }
  bool IsDirectory(const std::string&) override { return true; }
  bool MakeDirectory(const std::string&) override { return false; }
  std::vector<std::string> FindFiles(const std::string&, const std::string&) override {
    return removed_ ? std::vector<std::string>{} : std::vector<std::string>{"Q1.que"};
  }

 private:
  const uint8_t* data_;
  size_t size_;
  bool removed_ = false;
  bool setAside_ = false;
};

}  // namespace histfeed::fuzz

#endif  // HISTFEED_FUZZ_ONE_CACHE_FILE_H_
