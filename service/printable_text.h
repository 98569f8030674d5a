// SPDX-License-Identifier: Apache-2.0
// Point names and texts are bytes, as sources sent them: not always UTF-8
// (a Windows source sends its code page), and they may hold control
// bytes. These show them to people without letting a byte act on a
// terminal, a spreadsheet or a page, and give their exact bytes beside.
#ifndef HISTFEED_SERVICE_PRINTABLE_TEXT_H_
#define HISTFEED_SERVICE_PRINTABLE_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace histfeed::service {

// The length of the well-formed UTF-8 sequence at `text[at]`, or 0 when
// the bytes there are not one.
size_t Utf8SequenceLength(std::string_view text, size_t at);

// `bytes` with every byte that is not printable UTF-8 written as \xHH:
// control bytes (C0, DEL and the C1 range), and bytes that are not part
// of a well-formed UTF-8 sequence. "TEMP\xB0C" (Latin-1) reads TEMP\xb0C.
std::string VisibleText(std::string_view bytes);

// One field of a CSV line: VisibleText, quoted, with quotes doubled. A
// field that a spreadsheet would take for a formula (it starts with =, +,
// - or @ and is not a number) gets a leading
// apostrophe, so it is shown and never run.
std::string CsvField(std::string_view bytes);

// The bytes in lowercase hexadecimal, two digits each.
std::string HexText(std::string_view bytes);

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_PRINTABLE_TEXT_H_
