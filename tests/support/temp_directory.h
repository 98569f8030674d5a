// SPDX-License-Identifier: Apache-2.0
// A fresh directory for one test, removed with everything in it afterwards.
#ifndef HISTFEED_TESTS_SUPPORT_TEMP_DIRECTORY_H_
#define HISTFEED_TESTS_SUPPORT_TEMP_DIRECTORY_H_

#include <string>

namespace histfeed::testing {

class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  // The directory's path, ending in '/'.
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_TEMP_DIRECTORY_H_
