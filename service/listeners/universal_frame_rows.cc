// SPDX-License-Identifier: Apache-2.0
#include "service/listeners/universal_frame_rows.h"

#include "wire/config_record.h"

namespace histfeed::service {
namespace {

using universal::HeaderExtension;
using universal::RecordShape;
using universal::RecordType;

IdKind KindOf(universal::IdKind id) {
  switch (id) {
    case universal::IdKind::kLongId: return IdKind::kLong;
    case universal::IdKind::kExtId: return IdKind::kExtended;
    default: return IdKind::kPoint;
  }
}

IdKind KindOf(HeaderExtension extension) {
  switch (extension) {
    case HeaderExtension::kLongId: return IdKind::kLong;
    case HeaderExtension::kExtId: return IdKind::kExtended;
    default: return IdKind::kPoint;
  }
}

ConfigRow ConfigRowOf(const RecordType& type, const uint8_t* record) {
  universal::ConfigFields fields = universal::DecodeConfigRecord(record, type.code == 10);
  ConfigRow row;
  row.family = "universal";
  row.recordType = type.code;
  row.pointId = fields.pointId;
  row.longId = fields.longId;
  row.extId = fields.extId;
  row.description = fields.description;
  row.units = fields.units;
  row.raw.assign(record, record + type.recordBytes);
  // Keyed by the first identifier it carries.
  if (!row.pointId.empty()) {
    row.idKind = IdKind::kPoint;
    row.point = row.pointId;
  } else if (!row.longId.empty()) {
    row.idKind = IdKind::kLong;
    row.point = row.longId;
  } else {
    row.idKind = IdKind::kExtended;
    row.point = row.extId;
  }
  return row;
}

}  // namespace

const char* FrameErrorText(universal::FrameError error) {
  using universal::FrameError;
  switch (error) {
    case FrameError::kNone: return "none";
    case FrameError::kTooShort: return "too short";
    case FrameError::kBadStartMarker: return "bad start marker";
    case FrameError::kBadLength: return "bad length";
    case FrameError::kUnknownType: return "unknown record type";
    case FrameError::kCountMismatch: return "record count disagrees with length";
    case FrameError::kBadEndMarker: return "bad end marker";
  }
  return "?";
}

Batch UniversalFrameRows(const universal::DecodedFrame& frame) {
  Batch batch;
  if (frame.heartBeat || frame.type == nullptr) return batch;
  const RecordType& type = *frame.type;
  std::string headerId;
  int64_t headerTime = 0;
  int32_t headerMsec = 0;
  if (type.extension == HeaderExtension::kBlockTime) {
    headerTime = static_cast<int32_t>(universal::GetU32(frame.extension.data()));
    headerMsec = static_cast<int16_t>(universal::GetU16(frame.extension.data() + 4));
  } else if (type.extension != HeaderExtension::kNone) {
    headerId = universal::GetFixedText(frame.extension.data(), frame.extension.size());
  }

  for (uint16_t i = 0; i < frame.count; ++i) {
    const uint8_t* record = frame.records.data() + size_t{i} * type.recordBytes;
    if (type.shape == RecordShape::kOpaque) {
      batch.configs.push_back(ConfigRowOf(type, record));
      continue;
    }
    universal::PointValue point = universal::DecodeRecord(type, record);
    if (type.shape == RecordShape::kDelete) {
      batch.deletions.push_back(DeletionRow{"universal", KindOf(type.id), std::string(point.id)});
      continue;
    }
    ValueRow row;
    row.family = "universal";
    row.status = point.status;
    row.isText = type.textValue;
    row.value = point.value;
    row.text = point.text;
    if (type.shape == RecordShape::kBlock) {
      row.idKind = KindOf(type.extension);
      row.point = headerId;
      row.time = point.time;
      row.msec = point.msec;
    } else if (type.shape == RecordShape::kTimeBlock) {
      row.idKind = KindOf(type.id);
      row.point = point.id;
      row.time = headerTime;
      row.msec = headerMsec;
    } else {
      row.idKind = KindOf(type.id);
      row.point = point.id;
      row.time = point.time;
      row.msec = point.msec;
    }
    batch.values.push_back(std::move(row));
  }
  return batch;
}

}  // namespace histfeed::service
