// SPDX-License-Identifier: Apache-2.0
#include "service/http/json_writer.h"

#include <charconv>
#include <cmath>

namespace histfeed::service::http {

void AppendJsonString(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : VisibleText(text)) {
    if (c == '"' || c == '\\') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) text_.push_back(',');
    first_.back() = false;
  }
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  text_.push_back('{');
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  text_.push_back('}');
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  text_.push_back('[');
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  text_.push_back(']');
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  BeforeValue();
  AppendJsonString(name, &text_);
  text_.push_back(':');
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
  BeforeValue();
  AppendJsonString(text, &text_);
  return *this;
}

JsonWriter& JsonWriter::Int(int64_t number) {
  BeforeValue();
  text_.append(std::to_string(number));
  return *this;
}

JsonWriter& JsonWriter::Double(double number) {
  if (!std::isfinite(number)) return Null();
  BeforeValue();
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  text_.append(buffer, result.ptr);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  text_.append(value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  text_.append("null");
  return *this;
}

}  // namespace histfeed::service::http
