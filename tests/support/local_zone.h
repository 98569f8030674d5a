// SPDX-License-Identifier: Apache-2.0
// A test fixture that puts the process in a chosen time zone with a chosen
// settings file, as in a fresh process, and restores everything afterwards.
#ifndef HISTFEED_TESTS_SUPPORT_LOCAL_ZONE_H_
#define HISTFEED_TESTS_SUPPORT_LOCAL_ZONE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/time_zone.h"
#include "tests/support/temp_directory.h"
#include "timezone/dst_rules.h"
#include "timezone/settings_file.h"

namespace histfeed::testing {

// Counts the openings of the settings file.
class CountingFiles : public platform::FileSystemWrapper {
 public:
  CountingFiles() : FileSystemWrapper(platform::DefaultFiles()) {}
  std::unique_ptr<platform::InputFile> OpenFile(const std::string& path) override {
    if (path.size() >= 10 && path.compare(path.size() - 10, 10, kSettingsFileName) == 0) {
      ++settingsOpens;
    }
    return FileSystemWrapper::OpenFile(path);
  }
  std::atomic<int> settingsOpens{0};
};

class LocalZoneTest : public ::testing::Test {
 protected:
  LocalZoneTest() {
    if (const char* tz = std::getenv("TZ")) savedTz_ = tz;
    setenv(kSettingsDirectoryVariable, directory_.path().c_str(), 1);
    platform::SetFilesForTesting(&files_);
    ResetTimeStateForTesting();
  }
  ~LocalZoneTest() override {
    ResetTimeStateForTesting();
    platform::SetFilesForTesting(nullptr);
    platform::SetSystemZoneForTesting(nullptr, nullptr);
    platform::SetTzVariableForTesting(savedTz_ ? savedTz_->c_str() : nullptr);
    unsetenv(kSettingsDirectoryVariable);
  }

  // The system's own zone follows the "TZ" rule text `rules` under `name`.
  void UseSystemZone(const char* rules, const char* name) {
    platform::SetSystemZoneForTesting(rules, name);
    ResetTimeStateForTesting();
  }
  // The zone comes from "TZ".
  void UseTzVariable(const char* value) {
    platform::SetSystemZoneForTesting(nullptr, nullptr);
    platform::SetTzVariableForTesting(value);
    ResetTimeStateForTesting();
  }
  void WriteSettings(const std::string& text) {
    auto file = platform::DefaultFiles().CreateFile(directory_.File(kSettingsFileName));
    ASSERT_NE(file, nullptr);
    ASSERT_TRUE(file->Write(text.data(), text.size()));
    ASSERT_TRUE(file->Close());
  }
  int SettingsOpens() const { return files_.settingsOpens.load(); }

 private:
  TempDirectory directory_;
  CountingFiles files_;
  std::optional<std::string> savedTz_;
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_LOCAL_ZONE_H_
