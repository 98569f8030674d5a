// SPDX-License-Identifier: Apache-2.0
#include "platform/stdio_files.h"

namespace histfeed::platform {
namespace {

class OutputStream : public OutputFile {
 public:
  explicit OutputStream(std::FILE* file) : file_(file) {}
  ~OutputStream() override { Close(); }
  bool Write(const void* data, size_t size) override {
    return file_ != nullptr && std::fwrite(data, 1, size, file_) == size;
  }
  bool Sync() override {
    return file_ != nullptr && std::fflush(file_) == 0 && os::SyncStream(file_);
  }
  bool Close() override {
    if (file_ == nullptr) return true;
    bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }

 private:
  std::FILE* file_;
};

class InputStream : public InputFile {
 public:
  explicit InputStream(std::FILE* file) : file_(file) {}
  ~InputStream() override { std::fclose(file_); }
  size_t Read(void* data, size_t size) override { return std::fread(data, 1, size, file_); }
  uint64_t Size() override { return os::StreamFileSize(file_); }

 private:
  std::FILE* file_;
};

}  // namespace

std::unique_ptr<OutputFile> StdioOutputFile(std::FILE* file) {
  return std::make_unique<OutputStream>(file);
}

std::unique_ptr<InputFile> StdioInputFile(std::FILE* file) {
  return std::make_unique<InputStream>(file);
}

}  // namespace histfeed::platform
