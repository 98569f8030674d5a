// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the library as its settings file "KELSYS.INI",
// then makes daylight decisions over many years with whatever rule table
// came of it. Nothing may read or write out of bounds, whatever the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/memory_input.h"
#include "platform/file_system.h"
#include "platform/time_zone.h"
#include "timezone/dst_rules.h"
#include "timezone/local_time.h"
#include "timezone/profile_file.h"
#include "timezone/settings_file.h"

namespace {

using histfeed::fuzz::MemoryInput;

// The real file system, except that the settings file is the fuzz input.
class SettingsFromMemory : public histfeed::platform::FileSystemWrapper {
 public:
  SettingsFromMemory(const uint8_t* data, size_t size)
      : FileSystemWrapper(histfeed::platform::DefaultFiles()), data_(data), size_(size) {}
  std::unique_ptr<histfeed::platform::InputFile> OpenFile(const std::string& path) override {
    if (path != histfeed::SettingsFilePath()) return FileSystemWrapper::OpenFile(path);
    return std::make_unique<MemoryInput>(data_, size_);
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A zone with daylight time whose name the seeds list.
  histfeed::platform::SetSystemZoneForTesting("EST5EDT,M4.1.0,M10.5.0", "Eastern Standard Time");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  histfeed::ParseDstRule(text);
  histfeed::ProfileFile::Parse(text).GetString("Dst1", "Data1", "", 256);

  SettingsFromMemory files(data, size);
  histfeed::platform::SetFilesForTesting(&files);
  histfeed::ResetTimeStateForTesting();
  // Every fortnight of a few years, crossing all the rows a seed may hold.
  for (int32_t t = 1104537600 /* 2005-01-01 */; t < 1262304000 /* 2010-01-01 */; t += 14 * 86400) {
    histfeed::ToLocalTime(&t);
  }
  histfeed::platform::SetFilesForTesting(nullptr);
  return 0;
}
