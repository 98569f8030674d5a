// SPDX-License-Identifier: Apache-2.0
// Reading settings files in the profile format.
#include "timezone/profile_file.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/file_system.h"
#include "tests/support/temp_directory.h"
#include "timezone/settings_file.h"

namespace histfeed {
namespace {

TEST(ProfileFileTest, NamesIgnoreCaseAndBlanks) {
  ProfileFile file = ProfileFile::Parse(
      "[Dst1]\r\n"
      "  Tz1 =  Eastern  \r\n"
      "[ SECTION two ]\n"
      "key=Value With Case\n");
  EXPECT_EQ(file.GetString("dst1", "TZ1", "", 256), "Eastern");
  EXPECT_EQ(file.GetString("DST1", "tz1", "", 256), "Eastern");
  EXPECT_EQ(file.GetString("section TWO", "KEY", "", 256), "Value With Case");
  EXPECT_TRUE(file.HasLines("dSt1"));
}

TEST(ProfileFileTest, MissingKeyOrSectionGivesTheDefault) {
  ProfileFile file = ProfileFile::Parse("[A]\nx=1\nempty=\n");
  EXPECT_EQ(file.GetString("A", "y", "fallback", 256), "fallback");
  EXPECT_EQ(file.GetString("B", "x", "fallback", 256), "fallback");
  EXPECT_EQ(file.GetString("A", "empty", "fallback", 256), "");  // present but empty
  EXPECT_FALSE(file.HasLines("B"));
}

TEST(ProfileFileTest, ValuesAndDefaultsAreCutToTheBuffer) {
  ProfileFile file = ProfileFile::Parse("[A]\nx=" + std::string(1000, 'v') + "\n");
  EXPECT_EQ(file.GetString("A", "x", "", 256), std::string(255, 'v'));
  EXPECT_EQ(file.GetString("A", "missing", "abcdef", 4), "abc");
  EXPECT_EQ(file.GetString("A", "x", "", 1), "");
  EXPECT_EQ(file.GetString("A", "x", "", 0), "");
}

TEST(ProfileFileTest, FirstSectionAndFirstKeyWin) {
  ProfileFile file = ProfileFile::Parse(
      "[A]\nx=first\nx=second\n"
      "[a]\nx=other section\ny=only here\n");
  EXPECT_EQ(file.GetString("A", "x", "", 256), "first");
  EXPECT_EQ(file.GetString("A", "y", "none", 256), "none");
}

TEST(ProfileFileTest, CommentsStrayLinesAndQuotes) {
  ProfileFile file = ProfileFile::Parse(
      "orphan=before any section\n"
      "[Empty]\n"
      "; a comment\n"
      "\n"
      "[Quoted]\n"
      "a=\"quoted text\"\n"
      "b='single'\n"
      "c=\"unbalanced\n"
      "d=x=y\n"
      "bare line\n"
      "[Unclosed\n"
      "k=v\n");
  EXPECT_FALSE(file.HasLines("Empty"));
  EXPECT_EQ(file.GetString("", "orphan", "none", 256), "none");
  EXPECT_EQ(file.GetString("Quoted", "a", "", 256), "quoted text");
  EXPECT_EQ(file.GetString("Quoted", "b", "", 256), "single");
  EXPECT_EQ(file.GetString("Quoted", "c", "", 256), "\"unbalanced");
  EXPECT_EQ(file.GetString("Quoted", "d", "", 256), "x=y");
  EXPECT_EQ(file.GetString("Quoted", "bare line", "none", 256), "");
  EXPECT_EQ(file.GetString("Unclosed", "k", "", 256), "v");
}

TEST(ProfileFileTest, BinaryGarbageIsHarmless) {
  using namespace std::string_literals;
  std::string text = "[A]\nx=1\0002\n\0\xff\xfe[\n]\n=\n[]\n=v\n"s;
  ProfileFile file = ProfileFile::Parse(text);
  EXPECT_EQ(file.GetString("A", "x", "", 256), std::string("1\0002", 3));
  EXPECT_EQ(file.GetString("", "", "", 256), "v");
}

TEST(ProfileFileTest, LoadsThroughTheFileLayerAndCapsTheSize) {
  testing::TempDirectory directory;
  EXPECT_FALSE(ProfileFile::Load(directory.File("missing.ini")).HasLines("A"));

  std::string text = "[A]\nx=1\n[B]\ny=" + std::string(ProfileFile::kMaxFileBytes, 'z') + "\n[C]\nz=3\n";
  auto out = platform::DefaultFiles().CreateFile(directory.File("big.ini"));
  ASSERT_NE(out, nullptr);
  ASSERT_TRUE(out->Write(text.data(), text.size()));
  ASSERT_TRUE(out->Close());
  ProfileFile file = ProfileFile::Load(directory.File("big.ini"));
  EXPECT_EQ(file.GetString("A", "x", "", 256), "1");
  EXPECT_EQ(file.GetString("B", "y", "", 8), "zzzzzzz");
  EXPECT_FALSE(file.HasLines("C"));  // beyond the size read
}

TEST(SettingsFileTest, NamedDirectoryElseSystemConfiguration) {
  unsetenv(kSettingsDirectoryVariable);
  EXPECT_EQ(SettingsFilePath(), "/etc/KELSYS.INI");
  setenv(kSettingsDirectoryVariable, "", 1);
  EXPECT_EQ(SettingsFilePath(), "/etc/KELSYS.INI");
  setenv(kSettingsDirectoryVariable, "/opt/plant", 1);
  EXPECT_EQ(SettingsFilePath(), "/opt/plant/KELSYS.INI");
  setenv(kSettingsDirectoryVariable, "/opt/plant/", 1);
  EXPECT_EQ(SettingsFilePath(), "/opt/plant/KELSYS.INI");
  unsetenv(kSettingsDirectoryVariable);
}

}  // namespace
}  // namespace histfeed
