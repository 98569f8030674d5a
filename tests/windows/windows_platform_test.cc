// SPDX-License-Identifier: Apache-2.0
// What the Windows platform layer adds to the common contract: the named
// creation guard, binding by ordinal, Windows paths and the settings
// file's home in the Windows directory.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "histfeed/tarvo_plugin.h"
#include "platform/dynamic_library.h"
#include "platform/file_system.h"
#include "platform/lazy_semaphore.h"
#include "tests/support/temp_directory.h"
#include "timezone/settings_file.h"

namespace histfeed::platform {
namespace {

TEST(WindowsPlatformTest, LazySemaphoresAreCreatedUnderTheNamedGuard) {
  LazySemaphore lock;
  ASSERT_EQ(SemWait(lock, kWaitForever), 0);
  EXPECT_EQ(SemRelease(lock), 0);
  EXPECT_EQ(SemRelease(lock), SemaphoreAtMaximumError());
  HANDLE guard = OpenMutexA(SYNCHRONIZE, FALSE, "SemRequest");
  EXPECT_NE(guard, nullptr);
  if (guard != nullptr) CloseHandle(guard);
  SemDestroy(lock);
}

TEST(WindowsPlatformTest, FunctionsExportedOnlyByOrdinalAreFound) {
  std::string error;
  DynamicLibrary* library = LoadDynamicLibrary("tarvoapi.dll", &error);
  ASSERT_NE(library, nullptr) << error;
  void* startup = FindLibraryFunction(library, TARVO_SYMBOL_STARTUP, TARVO_ORDINAL_STARTUP);
  ASSERT_NE(startup, nullptr);
  EXPECT_EQ(reinterpret_cast<TarvoStartupFunction>(startup)(0), 0);
  EXPECT_EQ(FindLibraryFunction(library, TARVO_SYMBOL_STARTUP, 0), nullptr);  // no names
  EXPECT_EQ(FindLibraryFunction(library, nullptr, 3000), nullptr);  // beyond every export
  UnloadDynamicLibrary(library);
  EXPECT_EQ(LoadDynamicLibrary("no-such-library.dll", &error), nullptr);
  EXPECT_NE(error.find("no-such-library.dll"), std::string::npos);
}

TEST(WindowsPlatformTest, PathsTakeBothSeparators) {
  testing::TempDirectory temp;
  std::string base = temp.path();
  FileSystem& files = DefaultFiles();
  ASSERT_TRUE(files.MakeDirectory(base + "cache\\"));
  EXPECT_TRUE(files.IsDirectory(base + "cache/"));
  ASSERT_TRUE(files.CreateFile(base + "cache\\Q000001.que")->Close());
  ASSERT_TRUE(files.CreateFile(base + "cache/Q000002.que")->Close());
  ASSERT_TRUE(files.CreateFile(base + "cache/other.txt")->Close());
  EXPECT_EQ(files.FindFiles(base + "cache\\", "Q??????.que").size(), 2u);
  EXPECT_TRUE(files.RemoveFile(base + "cache\\Q000001.que"));
  EXPECT_FALSE(files.Exists(base + "cache/Q000001.que"));
  EXPECT_EQ(files.OpenFile(base + "cache\\Q000002.que")->Size(), 0u);
}

TEST(WindowsPlatformTest, SettingsFileLivesInTheWindowsDirectoryUnlessNamed) {
  char windows[MAX_PATH];
  UINT length = GetWindowsDirectoryA(windows, sizeof windows);
  ASSERT_GT(length, 0u);
  _putenv("HISTFEED_SETTINGS_DIR=");
  EXPECT_EQ(SettingsFilePath(), std::string(windows, length) + "/KELSYS.INI");
  _putenv("HISTFEED_SETTINGS_DIR=D:\\plant\\");
  EXPECT_EQ(SettingsFilePath(), "D:\\plant\\KELSYS.INI");
  _putenv("HISTFEED_SETTINGS_DIR=");
}

}  // namespace
}  // namespace histfeed::platform
