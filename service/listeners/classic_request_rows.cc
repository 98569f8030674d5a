// SPDX-License-Identifier: Apache-2.0
#include "service/listeners/classic_request_rows.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "wire/classic_request_layout.h"
#include "histfeed/tarvo_plugin.h"

namespace histfeed::service {
namespace {

using classic::config_layout::kPointId;
using classic::config_layout::kFirstText;
using classic::config_layout::kThirdText;
namespace record_layout = classic::record_layout;
using classic::LayoutField;

uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

int32_t Get32(const uint8_t* at) {
  return static_cast<int32_t>(static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
                              (static_cast<uint32_t>(at[2]) << 16) |
                              (static_cast<uint32_t>(at[3]) << 24));
}

// A text field: up to its first NUL, never beyond the field.
std::string Field(const uint8_t* at, size_t size) {
  const char* text = reinterpret_cast<const char*>(at);
  return std::string(text, strnlen(text, size));
}

std::string_view Trim(std::string_view text) {
  auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// A value text that is a whole finite number is stored as a number, any
// other text as text (SQLite would turn a NaN into NULL and lose it).
void SetValue(const std::string& text, ValueRow* row) {
  std::string trimmed(Trim(text));
  char* end = nullptr;
  double value = trimmed.empty() ? 0 : std::strtod(trimmed.c_str(), &end);
  if (!trimmed.empty() && end != nullptr && *end == '\0' && std::isfinite(value)) {
    row->value = value;
  } else {
    row->isText = true;
    row->text = text;
  }
}

}  // namespace

std::string ClassicPointName(std::string_view service, std::string_view identifier) {
  return Upper(Trim(service)) + "." + std::string(identifier);
}

bool ClassicDataRows(std::string_view service, bool longKind, const uint8_t* request,
                     size_t size, Batch* batch, std::string* error) {
  const uint16_t code = longKind ? TARVO_CODE_LONG_ID_DATA : TARVO_CODE_SHORT_ID_DATA;
  const size_t recordSize = longKind ? TARVO_LONG_ID_RECORD_SIZE : TARVO_SHORT_ID_RECORD_SIZE;
  const size_t recordsMax = longKind ? TARVO_LONG_ID_RECORDS_MAX : TARVO_SHORT_ID_RECORDS_MAX;
  if (size < TARVO_REQUEST_HEADER_SIZE || Get16(request) != code) {
    *error = "message code " + std::to_string(size < 2 ? 0 : Get16(request)) + " where " +
             std::to_string(code) + " belongs";
    return false;
  }
  size_t count = Get16(request + 2);
  if (count > recordsMax || TARVO_REQUEST_HEADER_SIZE + count * recordSize > size) {
    *error = "record count " + std::to_string(count) + " exceeds " + std::to_string(recordsMax);
    return false;
  }
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* record = request + TARVO_REQUEST_HEADER_SIZE + i * recordSize;
    ValueRow row;
    row.family = "classic";
    row.idKind = longKind ? IdKind::kLong : IdKind::kPoint;
    const LayoutField id = longKind ? record_layout::kLongPointId : record_layout::kShortPointId;
    const LayoutField status = longKind ? record_layout::kLongStatus : record_layout::kShortStatus;
    const LayoutField value = longKind ? record_layout::kLongValue : record_layout::kShortValue;
    row.point = ClassicPointName(service, Field(record + id.offset, id.size));
    row.time = Get32(record + record_layout::kTime.offset);
    row.msec = Get16(record + record_layout::kMilliseconds.offset);
    row.status = Get16(record + status.offset);
    SetValue(Field(record + value.offset, value.size), &row);
    batch->values.push_back(std::move(row));
  }
  return true;
}

bool ClassicConfigRow(std::string_view service, const uint8_t* request, size_t size,
                      Batch* batch, std::string* error) {
  if (size != TARVO_CONFIG_REQUEST_SIZE || Get16(request) != TARVO_CODE_CONFIG ||
      Get16(request + 2) != 1) {
    *error = "not a configuration request of one record";
    return false;
  }
  ConfigRow row;
  row.family = "classic";
  row.idKind = IdKind::kPoint;
  row.recordType = TARVO_CODE_CONFIG;
  row.pointId = Field(request + kPointId.offset, kPointId.size);
  if (Trim(row.pointId).empty()) {
    *error = "configuration without a point identifier";
    return false;
  }
  row.point = ClassicPointName(service, row.pointId);
  row.description = std::string(
      Trim(Field(request + kFirstText.offset, kFirstText.size)));
  row.units = std::string(Trim(Field(request + kThirdText.offset, kThirdText.size)));
  row.raw.assign(request, request + size);
  batch->configs.push_back(std::move(row));
  return true;
}

bool ResolveExtendedName(std::string_view name, std::string* identifier) {
  name = Trim(name);
  size_t dot = name.rfind('.');
  std::string_view last = Trim(dot == std::string_view::npos ? name : name.substr(dot + 1));
  if (last.empty()) return false;
  *identifier = Upper(last.substr(0, 8));
  return true;
}

}  // namespace histfeed::service
