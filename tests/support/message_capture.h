// SPDX-License-Identifier: Apache-2.0
// Collects the universal family's diagnostic lines for a test, each with
// the library time at which it was passed.
#ifndef HISTFEED_TESTS_SUPPORT_MESSAGE_CAPTURE_H_
#define HISTFEED_TESTS_SUPPORT_MESSAGE_CAPTURE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace histfeed::testing {

struct CapturedLine {
  int64_t libraryMs;
  std::string text;
};

// Installs the observer for its lifetime; only one may exist at a time.
class MessageCapture {
 public:
  MessageCapture();
  ~MessageCapture();
  MessageCapture(const MessageCapture&) = delete;
  MessageCapture& operator=(const MessageCapture&) = delete;

  std::vector<std::string> Lines() const;
  std::vector<CapturedLine> TimedLines() const;
  // How many lines equal `text`.
  int Count(const std::string& text) const;
  void Clear();
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_MESSAGE_CAPTURE_H_
