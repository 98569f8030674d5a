// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the queue as a cache file left by an earlier
// run, and reads everything back. The queue must refuse what it cannot
// trust without reading or writing out of bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/memory_input.h"
#include "platform/file_system.h"
#include "queue/record_queue.h"

namespace {

using histfeed::fuzz::MemoryInput;

using histfeed::platform::FileSystem;
using histfeed::platform::InputFile;
using histfeed::platform::OutputFile;

class DiscardingOutput : public OutputFile {
 public:
  bool Write(const void*, size_t) override { return true; }
  bool Sync() override { return true; }
  bool Close() override { return true; }
};

// One directory holding one cache file: the fuzz input.
class OneFileSystem : public FileSystem {
 public:
  OneFileSystem(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  std::unique_ptr<OutputFile> CreateFile(const std::string&) override {
    return std::make_unique<DiscardingOutput>();
  }
  std::unique_ptr<OutputFile> AppendFile(const std::string&) override { return nullptr; }
  std::unique_ptr<InputFile> OpenFile(const std::string& path) override {
    if (removed_ || path != "F/Q1.que") return nullptr;
    return std::make_unique<MemoryInput>(data_, size_);
  }
  bool RemoveFile(const std::string&) override { return removed_ = true; }
  bool RenameFile(const std::string&, const std::string&) override { return removed_ = true; }
  bool SyncDirectory(const std::string&) override { return true; }
  std::string ErrorText() override { return "fuzzing"; }
  bool Exists(const std::string& path) override { return !removed_ && path == "F/Q1.que"; }
  bool IsDirectory(const std::string&) override { return true; }
  bool MakeDirectory(const std::string&) override { return false; }
  std::vector<std::string> FindFiles(const std::string&, const std::string&) override {
    return removed_ ? std::vector<std::string>{} : std::vector<std::string>{"Q1.que"};
  }

 private:
  const uint8_t* data_;
  size_t size_;
  bool removed_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OneFileSystem files(data, size);
  histfeed::platform::SetFilesForTesting(&files);
  std::unique_ptr<histfeed::RecordQueue> queue;
  if (histfeed::RecordQueue::Create(4, 16, &queue) == 0) {
    queue->EnableCache(0, 0, "Q", "F");
    uint8_t record[64];
    uint16_t length = 0;
    // Alternate small and large capacities to reach the -304 paths too.
    for (int i = 0; i < 70000; ++i) {
      uint16_t capacity = (i % 3 == 0) ? 8 : sizeof record;
      int32_t result = (i % 2 == 0) ? queue->Peek(record, capacity, &length)
                                     : queue->Pop(record, capacity, &length);
      if (result == histfeed::kQueueEmpty || result == histfeed::kQueueCacheFileUnreadable) break;
    }
    queue.reset();
  }
  histfeed::platform::SetFilesForTesting(nullptr);
  return 0;
}
