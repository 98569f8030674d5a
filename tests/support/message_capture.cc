// SPDX-License-Identifier: Apache-2.0
#include "tests/support/message_capture.h"

#include <mutex>

#include "platform/clock.h"
#include "platform/no_destructor.h"
#include "universal/diagnostics.h"

namespace histfeed::testing {
namespace {

struct Store {
  std::mutex mutex;
  std::vector<CapturedLine> lines;
};

Store& TheStore() {
  static platform::NoDestructor<Store> store;
  return *store;
}

void Observe(const char* line) {
  Store& store = TheStore();
  int64_t now = platform::MonotonicMs();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.lines.push_back({now, line});
}

}  // namespace

MessageCapture::MessageCapture() {
  Clear();
  universal::SetMessageObserver(Observe);
}

MessageCapture::~MessageCapture() { universal::SetMessageObserver(nullptr); }

std::vector<std::string> MessageCapture::Lines() const {
  std::vector<std::string> texts;
  for (auto& line : TimedLines()) texts.push_back(line.text);
  return texts;
}

std::vector<CapturedLine> MessageCapture::TimedLines() const {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  return store.lines;
}

int MessageCapture::Count(const std::string& text) const {
  int count = 0;
  for (auto& line : TimedLines()) count += line.text == text ? 1 : 0;
  return count;
}

void MessageCapture::Clear() {
  Store& store = TheStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.lines.clear();
}

}  // namespace histfeed::testing
