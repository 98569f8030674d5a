// SPDX-License-Identifier: Apache-2.0
// Writes the tables of docs/formats.md that describe the universal frame,
// its record types and layouts, the configuration records and the
// heartbeat, from the library's own definitions, so the document cannot
// drift from the code.
//
//   format_tables --check FILE    exit 1 when a generated section differs
//   format_tables --update FILE   rewrite the generated sections in place
//
// A section lies between "<!-- BEGIN GENERATED name -->" and
// "<!-- END GENERATED name -->"; everything else in FILE is left alone.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "wire/config_record.h"
#include "wire/frame_format.h"

namespace histfeed::universal {
namespace {

std::string Row(std::initializer_list<std::string> cells) {
  std::string row = "|";
  for (const std::string& cell : cells) row += " " + cell + " |";
  return row + "\n";
}

std::string N(size_t value) { return std::to_string(value); }

std::string IdName(IdKind id) {
  switch (id) {
    case IdKind::kPointId: return "point id";
    case IdKind::kLongId: return "long id";
    case IdKind::kExtId: return "extended id";
    case IdKind::kNone: break;
  }
  return "";
}

std::string ExtensionText(const RecordType& type) {
  switch (type.extension) {
    case HeaderExtension::kBlockTime: return "block time (i32 seconds, i16 msec)";
    case HeaderExtension::kPointId: return "point id";
    case HeaderExtension::kLongId: return "long id";
    case HeaderExtension::kExtId: return "extended id";
    case HeaderExtension::kNone: break;
  }
  return "none";
}

std::string FrameHeader() {
  size_t endMarker = kFrameOverheadBytes - kFrameHeaderBytes;
  std::string out = Row({"offset", "size", "field"}) + "|---|---|---|\n";
  out += Row({"0", "2", "start marker FE FE"});
  out += Row({"2", N(kTypeOffset - 2), "frame length: every byte of the frame, both markers included (u32)"});
  out += Row({N(kTypeOffset), N(kCountOffset - kTypeOffset), "record type code (u16)"});
  out += Row({N(kCountOffset), N(kFrameHeaderBytes - kCountOffset), "record count n (u16)"});
  out += Row({N(kFrameHeaderBytes), "e", "header extension of the record type (e bytes, often 0)"});
  out += Row({N(kFrameHeaderBytes) + " + e", "n × size", "the records, in the order they were added"});
  out += Row({N(kFrameHeaderBytes) + " + e + n × size", N(endMarker), "end marker EF EF"});
  out += "\nA frame is " + N(kFrameOverheadBytes) + " + e + n × size bytes, at most " +
         N(kMaxFrameBytes) + ".\n";
  return out;
}

std::string RecordTypes() {
  std::string out = Row({"code", "record", "size", "records per buffer", "records per frame",
                         "header extension (e bytes)", "frame kind"}) +
                    "|---|---|---|---|---|---|---|\n";
  for (const RecordType& type : kRecordTypes) {
    std::string extension = ExtensionText(type);
    if (type.extensionBytes > 0) extension += " (" + N(type.extensionBytes) + ")";
    out += Row({N(type.code), "`" + std::string(type.name) + "`", N(type.recordBytes),
                N(type.capacity), N(MaxRecordsPerFrame(type)), extension,
                type.isConfig ? "configuration" : "data"});
  }
  return out;
}

// Encodes a record whose every field is filled with its own byte and reads
// the fields back as runs of those bytes: the layout as the encoder writes it.
std::string RecordLayouts() {
  const std::string idText(kExtIdBytes, 'I');
  const std::string text(kTextValueBytes, 'T');
  double value;
  uint64_t bits = 0x4444444444444444u;
  std::memcpy(&value, &bits, sizeof value);
  std::string out = Row({"record", "offset", "size", "field"}) + "|---|---|---|---|\n";
  for (const RecordType& type : kRecordTypes) {
    std::string name = "`" + std::string(type.name) + "`";
    if (type.shape == RecordShape::kOpaque) {
      out += Row({name, "0", N(type.recordBytes), "the configuration record, below"});
      continue;
    }
    uint8_t record[kMaxFrameBytes] = {};
    PointValue point{0x11111111, 0x2222, idText, 0x3333, value, text};
    EncodeRecord(type, point, record);
    const std::map<uint8_t, std::string> fields = {
        {0x11, "time (i32, seconds since 1970-01-01 UTC)"},
        {0x22, "msec (i16)"},
        {'I', IdName(type.id) + " (text, NUL-padded)"},
        {0x33, "status (i16)"},
        {0x44, "value (IEEE 754 double)"},
        {'T', "value text (NUL-padded)"}};
    for (size_t at = 0; at < type.recordBytes;) {
      size_t end = at;
      while (end < type.recordBytes && record[end] == record[at]) ++end;
      auto field = fields.find(record[at]);
      out += Row({name, N(at), N(end - at), field == fields.end() ? "?" : field->second});
      at = end;
    }
  }
  return out;
}

std::string ConfigRecord() {
  namespace c = config_layout;
  std::string out = Row({"offset", "size", "field"}) + "|---|---|---|\n";
  out += Row({N(c::kPointIdAt), N(kPointIdBytes), "point id (text)"});
  out += Row({N(c::kLongIdAt), N(kLongIdBytes), "long id (text)"});
  out += Row({N(c::kDescriptionAt), N(c::kDescriptionBytes), "description (text)"});
  out += Row({N(c::kUnitsAt), N(c::kUnitsBytes), "units (text)"});
  out += Row({N(c::kPointClassAt), N(c::kPointClassBytes), "point class (text)"});
  out += Row({N(c::kOption1At), "4", "option word 1 (i32)"});
  out += Row({N(c::kOption2At), "4", "option word 2 (i32)"});
  out += Row({N(c::kLowStateTextAt), N(c::kStateTextBytes), "low state text"});
  out += Row({N(c::kHighStateTextAt), N(c::kStateTextBytes), "high state text"});
  out += Row({N(c::kSettingsAt), N(kConfigSettingWords * 4),
              N(kConfigSettingWords) + " setting words (i32 each, in argument order)"});
  out += Row({N(c::kExtIdAt), N(kExtIdBytes), "extended id (text)"});
  out += Row({N(c::kCommentAt), N(c::kCommentBytes), "comment (text)"});
  out += Row({N(c::kAttributesAt) + " + 33·k, k = 0.." + N(kConfigAttributeTexts - 1),
              N(c::kAttributeBytes), "attribute text k (`ConfigExtendedRec` only)"});
  out += "\n`ConfigRec` ends at " + N(kConfigRecordBytes) + " bytes, `ConfigExtendedRec` at " +
         N(kConfigExtendedRecordBytes) + ".\n";
  return out;
}

std::string HeartBeat() {
  uint8_t frame[kHeartBeatFrameBytes];
  EncodeHeartBeatFrame(frame);
  std::string out = "    ";
  char hex[4];
  for (size_t i = 0; i < kHeartBeatFrameBytes; ++i) {
    std::snprintf(hex, sizeof hex, i + 1 < kHeartBeatFrameBytes ? "%02X " : "%02X", frame[i]);
    out += hex;
  }
  return out + "\n";
}

const std::map<std::string, std::function<std::string()>>& Sections() {
  static const std::map<std::string, std::function<std::string()>> sections = {
      {"frame-header", FrameHeader}, {"record-types", RecordTypes},
      {"record-layouts", RecordLayouts}, {"config-record", ConfigRecord},
      {"heartbeat", HeartBeat}};
  return sections;
}

// The document with every generated section written anew; empty names
// of unknown or unterminated sections go to `problem`.
std::string Regenerate(const std::string& document, std::string* problem) {
  const std::string begin = "<!-- BEGIN GENERATED ", end = "<!-- END GENERATED ";
  std::string out;
  size_t at = 0;
  for (;;) {
    size_t open = document.find(begin, at);
    if (open == std::string::npos) break;
    size_t nameEnd = document.find(" -->", open);
    size_t lineEnd = document.find('\n', open);
    if (nameEnd == std::string::npos || lineEnd == std::string::npos) break;
    std::string name = document.substr(open + begin.size(), nameEnd - open - begin.size());
    size_t close = document.find(end + name + " -->", lineEnd);
    auto section = Sections().find(name);
    if (close == std::string::npos || section == Sections().end()) {
      *problem += "section '" + name + "' is unknown or has no end\n";
      return document;
    }
    out += document.substr(at, lineEnd + 1 - at) + section->second();
    at = close;
  }
  return out + document.substr(at);
}

}  // namespace
}  // namespace histfeed::universal

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "--check") != 0 && std::strcmp(argv[1], "--update") != 0)) {
    std::fprintf(stderr, "usage: format_tables --check|--update FILE\n");
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "format_tables: cannot read %s\n", argv[2]);
    return 2;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string document = buffer.str();
  std::string problem;
  std::string fresh = histfeed::universal::Regenerate(document, &problem);
  if (!problem.empty()) {
    std::fprintf(stderr, "format_tables: %s", problem.c_str());
    return 1;
  }
  if (std::strcmp(argv[1], "--update") == 0) {
    if (fresh != document) std::ofstream(argv[2], std::ios::binary) << fresh;
    return 0;
  }
  if (fresh != document) {
    std::fprintf(stderr,
                 "format_tables: the generated tables of %s differ from the code; run "
                 "`cmake --build BUILD --target update_format_docs`\n",
                 argv[2]);
    return 1;
  }
  return 0;
}
