// SPDX-License-Identifier: Apache-2.0
// Builds a JSON text in one pass. Commas are placed by the writer; texts
// are written as VisibleText (bytes that are not printable UTF-8 as
// \xHH) and escaped, so the result always parses and shows every byte.
#ifndef HISTFEED_SERVICE_HTTP_JSON_WRITER_H_
#define HISTFEED_SERVICE_HTTP_JSON_WRITER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "service/printable_text.h"

namespace histfeed::service::http {

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // Names the next member of the object being written.
  JsonWriter& Key(std::string_view name);

  JsonWriter& String(std::string_view text);
  JsonWriter& Int(int64_t number);
  // NaN and infinities have no JSON form: they are written as null.
  JsonWriter& Double(double number);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // Key and value in one call.
  template <typename T>
  JsonWriter& Member(std::string_view name, const T& value);

  const std::string& text() const { return text_; }

 private:
  void BeforeValue();

  std::string text_;
  std::vector<bool> first_;  // per open object or array: nothing written yet
  bool afterKey_ = false;
};

// Appends `text` to `out` as a quoted JSON string.
void AppendJsonString(std::string_view text, std::string* out);

template <typename T>
JsonWriter& JsonWriter::Member(std::string_view name, const T& value) {
  Key(name);
  if constexpr (std::is_same_v<T, bool>) {
    return Bool(value);
  } else if constexpr (std::is_integral_v<T>) {
    return Int(static_cast<int64_t>(value));
  } else if constexpr (std::is_floating_point_v<T>) {
    return Double(value);
  } else {
    return String(value);
  }
}

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_JSON_WRITER_H_
