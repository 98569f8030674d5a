// SPDX-License-Identifier: Apache-2.0
#include "service/printable_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace histfeed::service {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendEscaped(unsigned char byte, std::string* out) {
  out->append("\\x");
  out->push_back(kHexDigits[byte >> 4]);
  out->push_back(kHexDigits[byte & 15]);
}

// Whether a spreadsheet reads the field as a number (harmless) rather
// than a formula.
bool IsNumber(const std::string& text) {
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size();
}

}  // namespace

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

std::string VisibleText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    unsigned char byte = static_cast<unsigned char>(bytes[at]);
    size_t length = Utf8SequenceLength(bytes, at);
    // A two-byte sequence from C2 80 to C2 9F is a C1 control character.
    bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(bytes[at + 1]) < 0xA0;
    bool control = byte < 0x20 || byte == 0x7F || c1;
    if (length == 0 || control) {
      for (size_t i = 0; i < std::max<size_t>(length, 1); ++i) {
        AppendEscaped(static_cast<unsigned char>(bytes[at + i]), &out);
      }
      at += std::max<size_t>(length, 1);
      continue;
    }
    out.append(bytes.substr(at, length));
    at += length;
  }
  return out;
}

std::string CsvField(std::string_view bytes) {
  std::string text = VisibleText(bytes);
  std::string out = "\"";
  char first = text.empty() ? '\0' : text.front();
  if ((first == '=' || first == '+' || first == '-' || first == '@') && !IsNumber(text)) {
    out.push_back('\'');
  }
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string HexText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (char c : bytes) {
    unsigned char byte = static_cast<unsigned char>(c);
    text.push_back(kHexDigits[byte >> 4]);
    text.push_back(kHexDigits[byte & 15]);
  }
  return text;
}

}  // namespace histfeed::service
