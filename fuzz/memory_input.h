// SPDX-License-Identifier: Apache-2.0
// A fuzz input served as a file's contents.
#ifndef HISTFEED_FUZZ_MEMORY_INPUT_H_
#define HISTFEED_FUZZ_MEMORY_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/file_system.h"

namespace histfeed::fuzz {

class MemoryInput : public platform::InputFile {
 public:
  MemoryInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t Read(void* out, size_t size) override {
    size_t count = size < size_ - offset_ ? size : size_ - offset_;
    if (count > 0) std::memcpy(out, data_ + offset_, count);
    offset_ += count;
    return count;
  }
  uint64_t Size() override { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

}  // namespace histfeed::fuzz

#endif  // HISTFEED_FUZZ_MEMORY_INPUT_H_
