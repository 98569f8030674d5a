// SPDX-License-Identifier: Apache-2.0
// histfeed-cache dump: the records of a file, decoded by type, as the
// reference service would store them.
#include <cstdio>
#include <span>

#include "service/http/json_writer.h"
#include "service/listeners/universal_frame_rows.h"
#include "service/value_text.h"
#include "tools/cache/cache_file_view.h"
#include "tools/cache/commands.h"
#include "tools/cache/frame_values.h"
#include "wire/frame_format.h"

namespace histfeed::cache_tool {
namespace {

// One line of the dump: a value, a configuration, a deletion, a heartbeat
// or a frame that is not valid.
struct DumpRow {
  size_t frame = 0;
  std::string type;  // the record type's name
  std::string row;   // value, config, deletion, heartbeat, invalid
  std::string idKind, point;
  std::optional<int64_t> time;
  int32_t msec = 0, status = 0;
  std::string value;  // the number exactly, or the text of a text value
  std::string text;   // configurations: description and units; invalid: why
};

DumpRow Row(size_t frame, const std::string& type, const char* kind) {
  DumpRow row;
  row.frame = frame;
  row.type = type;
  row.row = kind;
  return row;
}

std::vector<DumpRow> RowsOf(size_t number, const FrameInFile& frame) {
  std::vector<DumpRow> rows;
  universal::DecodedFrame decoded;
  universal::FrameError error =
      universal::DecodeFrame(std::span(frame.bytes, frame.length), &decoded);
  if (error != universal::FrameError::kNone) {
    DumpRow& row = rows.emplace_back(Row(number, "", "invalid"));
    row.text = std::string(service::FrameErrorText(error)) + ", " + std::to_string(frame.length) +
               " bytes";
    return rows;
  }
  std::string type(decoded.type->name);
  if (decoded.heartBeat) rows.push_back(Row(number, type, "heartbeat"));
  service::Batch batch = service::UniversalFrameRows(decoded);
  for (const service::ValueRow& value : batch.values) {
    DumpRow& row = rows.emplace_back(Row(number, type, "value"));
    row.idKind = service::IdKindName(value.idKind);
    row.point = value.point;
    row.time = value.time;
    row.msec = value.msec;
    row.status = value.status;
    row.value = value.isText ? value.text : service::ExactValueText(value.value);
  }
  for (const service::ConfigRow& config : batch.configs) {
    DumpRow& row = rows.emplace_back(Row(number, type, "config"));
    row.idKind = service::IdKindName(config.idKind);
    row.point = config.point;
    row.text = config.description + (config.units.empty() ? "" : " [" + config.units + "]");
  }
  for (const service::DeletionRow& deletion : batch.deletions) {
    DumpRow& row = rows.emplace_back(Row(number, type, "deletion"));
    row.idKind = service::IdKindName(deletion.idKind);
    row.point = deletion.point;
  }
  return rows;
}

std::string CsvField(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

void WriteText(const std::vector<DumpRow>& rows, std::ostream& out) {
  char line[512];
  std::snprintf(line, sizeof line, "%5s %-20s %-9s %-8s %-24s %-23s %6s  %s\n", "frame", "type",
                "row", "id kind", "point", "time (UTC)", "status", "value");
  out << line;
  for (const DumpRow& row : rows) {
    std::string time = row.time ? TimeText(*row.time, row.msec) : "";
    std::snprintf(line, sizeof line, "%5zu %-20s %-9s %-8s %-24s %-23s %6s  ", row.frame,
                  row.type.c_str(), row.row.c_str(), row.idKind.c_str(), row.point.c_str(),
                  time.c_str(), row.row == "value" ? std::to_string(row.status).c_str() : "");
    std::string text = line + row.value + row.text;
    text.erase(text.find_last_not_of(' ') + 1);
    out << text << "\n";
  }
}

void WriteCsv(const std::vector<DumpRow>& rows, std::ostream& out) {
  out << "frame,type,row,id_kind,point,time,msec,status,value,text\n";
  for (const DumpRow& row : rows) {
    out << row.frame << "," << row.type << "," << row.row << "," << row.idKind << ","
        << CsvField(row.point) << "," << (row.time ? std::to_string(*row.time) : "") << ","
        << (row.time ? std::to_string(row.msec) : "") << ","
        << (row.row == "value" ? std::to_string(row.status) : "") << "," << CsvField(row.value)
        << "," << CsvField(row.text) << "\n";
  }
}

void WriteJson(const std::vector<DumpRow>& rows, std::ostream& out) {
  service::http::JsonWriter json;
  json.BeginArray();
  for (const DumpRow& row : rows) {
    json.BeginObject().Member("frame", row.frame).Member("type", row.type).Member("row", row.row);
    if (!row.point.empty() || row.row == "value") {
      json.Member("id_kind", row.idKind).Member("point", row.point);
    }
    if (row.time) json.Member("time", *row.time).Member("msec", row.msec);
    if (row.row == "value") json.Member("status", row.status).Member("value", row.value);
    if (!row.text.empty()) json.Member("text", row.text);
    json.EndObject();
  }
  json.EndArray();
  out << json.text() << "\n";
}

}  // namespace

int DumpFile(const std::string& file, Format format, std::ostream& out, std::ostream& err) {
  FileView view;
  std::string error = ReadFileView(file, &view);
  if (!error.empty()) {
    err << "histfeed-cache: " << error << "\n";
    return kExitBadInput;
  }
  std::vector<DumpRow> rows;
  for (size_t i = view.delivered; i < view.frames.size(); ++i) {
    std::vector<DumpRow> frameRows = RowsOf(i + 1, view.frames[i]);
    rows.insert(rows.end(), frameRows.begin(), frameRows.end());
  }
  if (format == Format::kCsv) {
    WriteCsv(rows, out);
  } else if (format == Format::kJson) {
    WriteJson(rows, out);
  } else {
    WriteText(rows, out);
  }
  if (!view.whole()) {
    err << "histfeed-cache: " << file << " is damaged (" << view.faults.front().what
        << "); shown are the frames that pass their checks\n";
  }
  return kExitDone;
}

}  // namespace histfeed::cache_tool
