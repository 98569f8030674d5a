// SPDX-License-Identifier: Apache-2.0
#include "tools/cache/resend_progress.h"

#include "platform/file_system.h"
#include "queue/cache_file.h"
#include "queue/checksum.h"
#include "tools/cache/cache_file_view.h"
#include "wire/frame_format.h"

namespace histfeed::cache_tool {
namespace {

constexpr uint32_t kProgressMagic = 0x31534648;  // "HFS1"
constexpr size_t kProgressBytes = 20;

}  // namespace

std::string ProgressFileName(const std::string& path) { return path + ".sent"; }

uint64_t DeliveredPrefix(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::unique_ptr<platform::InputFile> file = platform::Files().OpenFile(ProgressFileName(path));
  uint8_t record[kProgressBytes];
  if (!file || file->Read(record, sizeof record) != sizeof record) return 0;
  uint64_t delivered =
      universal::GetU32(record + 4) | (uint64_t{universal::GetU32(record + 8)} << 32);
  if (universal::GetU32(record) != kProgressMagic ||
      universal::GetU32(record + 16) != ExtendCrc32c(0, record, 16) || delivered > bytes.size() ||
      universal::GetU32(record + 12) != ExtendCrc32c(0, bytes.data(), delivered)) {
    return 0;
  }
  return delivered;
}

bool SaveDeliveredPrefix(const std::string& path, const std::vector<uint8_t>& bytes,
                         uint64_t delivered, std::string* error) {
  uint8_t record[kProgressBytes];
  universal::PutU32(record, kProgressMagic);
  universal::PutU32(record + 4, static_cast<uint32_t>(delivered));
  universal::PutU32(record + 8, static_cast<uint32_t>(delivered >> 32));
  universal::PutU32(record + 12, ExtendCrc32c(0, bytes.data(), delivered));
  universal::PutU32(record + 16, ExtendCrc32c(0, record, 16));
  CacheFileWrite written = WriteFileWhole(
      ProgressFileName(path), DirectoryOf(path),
      [&](platform::OutputFile& file) { return file.Write(record, sizeof record); }, error);
  return written == CacheFileWrite::kWritten || written == CacheFileWrite::kNameNotSynced;
}

}  // namespace histfeed::cache_tool
