// SPDX-License-Identifier: Apache-2.0
#include "service/http/json_writer.h"

#include <charconv>
#include <cmath>

namespace histfeed::service::http {

size_t Utf8SequenceLength(std::string_view text, size_t at) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(at);
  size_t length;
  uint32_t low;  // smallest code point that needs this length
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    low = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    low = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    low = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  uint32_t code = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  if (code < low || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void AppendJsonString(std::string_view text, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (size_t at = 0; at < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      out->append("\\u00");
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 15]);
    } else if (c >= 0x80) {
      size_t length = Utf8SequenceLength(text, at);
      if (length == 0) {
        out->append("\\ufffd");
        ++at;
        continue;
      }
      out->append(text.substr(at, length));
      at += length;
      continue;
    } else {
      out->push_back(static_cast<char>(c));
    }
    ++at;
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
