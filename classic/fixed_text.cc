// SPDX-License-Identifier: Apache-2.0
#include "classic/fixed_text.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace histfeed::classic {

void CopyFixed(void* field, size_t width, const char* text) {
  if (text == nullptr) return;
  size_t length = BoundedLength(text, width);
  auto* bytes = static_cast<char*>(field);
  std::memcpy(bytes, text, length);
  std::memset(bytes + length, 0, width - length);
}

void FormatFixed(void* field, size_t width, const char* format, ...) {
  // Wide enough for every number these fields hold, terminator included.
  char text[64];
  va_list arguments;
  va_start(arguments, format);
  int written = std::vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  if (written < 0) return;
  size_t length = static_cast<size_t>(written) + 1;
  if (length > sizeof(text)) length = sizeof(text);
  std::memcpy(field, text, length < width ? length : width);
}

void FormatValueText(double value, char (&text)[kValueTextSize]) {
  // std::to_chars with 9 significant digits in general form gives what
  // "%.9g" gives, several times faster than printf; letters are then
  // raised and the text right-aligned, as "%16.9G" does.
  constexpr size_t kWidth = kValueTextSize - 1;
  char digits[32];
  std::to_chars_result end =
      std::to_chars(digits, digits + sizeof(digits), value, std::chars_format::general, 9);
  size_t length = static_cast<size_t>(end.ptr - digits);
  std::memset(text, 0, sizeof(text));
  if (end.ec != std::errc() || length > kWidth) {
    std::snprintf(text, sizeof(text), "%16.9G", value);
    return;
  }
  size_t pad = kWidth - length;
  std::memset(text, ' ', pad);
  for (size_t i = 0; i < length; ++i) {
    char c = digits[i];
    text[pad + i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
}

size_t BoundedLength(const char* text, size_t limit) {
  if (text == nullptr) return 0;
  size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return length;
}

bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

TextPart Trimmed(const char* text, size_t limit) {
  size_t length = BoundedLength(text, limit);
  size_t start = 0;
  while (start < length && IsWhiteSpace(text[start])) ++start;
  while (length > start && IsWhiteSpace(text[length - 1])) --length;
  return {text != nullptr ? text + start : "", length - start};
}

}  // namespace histfeed::classic
