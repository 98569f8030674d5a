// SPDX-License-Identifier: Apache-2.0
// Bounded writes of texts and formatted numbers into fixed-width fields of
// records and requests. Whatever the caller passes, nothing is written
// outside the field.
#ifndef HISTFEED_CLASSIC_FIXED_TEXT_H_
#define HISTFEED_CLASSIC_FIXED_TEXT_H_

#include <cstddef>
#include <cstdint>

namespace histfeed::classic {

// Room for a value text: 16 characters and a terminator.
inline constexpr size_t kValueTextSize = 17;

// Copies at most `width` characters of `text` into the field, padding the
// rest with zeros (no terminator when the text fills the field). A null
// text leaves the field as it is.
void CopyFixed(void* field, size_t width, const char* text);

// printf-style formatting into a field of `width` bytes: the text with its
// terminator when it fits, else as many characters as fit and no
// terminator. Bytes after what is written are left as they are.
void FormatFixed(void* field, size_t width, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// `value` as "%16.9lG" into 17 bytes: always terminated, zero after it.
void FormatValueText(double value, char (&text)[kValueTextSize]);

// The length of `text`, counting at most `limit` characters (0 for null).
size_t BoundedLength(const char* text, size_t limit);

bool IsWhiteSpace(char c);

// The part of `text` without leading and trailing white space, as a start
// and a length; null gives an empty part.
struct TextPart {
  const char* start;
  size_t length;
};
TextPart Trimmed(const char* text, size_t limit);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_FIXED_TEXT_H_
