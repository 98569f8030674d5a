// SPDX-License-Identifier: Apache-2.0
#include "service/storage/value_block.h"

#include <bit>
#include <cmath>

namespace histfeed::service {
namespace {

void PutVarint(std::string* out, uint64_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<char>(value | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<char>(value));
}

uint64_t ZigZag(int64_t value) {
  return (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
}

int64_t UnZigZag(uint64_t value) {
  return static_cast<int64_t>(value >> 1) ^ -static_cast<int64_t>(value & 1);
}

}  // namespace

bool Sample::SameAs(const Sample& other) const {
  if (status != other.status || isText != other.isText) return false;
  return isText ? text == other.text
                : std::bit_cast<uint64_t>(value) == std::bit_cast<uint64_t>(other.value);
}

bool Sample::Drawable() const { return !isText && std::isfinite(value); }

StoredValue Sample::Owned() const {
  return StoredValue{millis, status, isText, value, std::string(text)};
}

Sample Sample::Of(const StoredValue& value) {
  Sample sample;
  sample.millis = value.millis;
  sample.status = value.status;
  sample.isText = value.isText;
  sample.value = value.value;
  sample.text = value.text;
  return sample;
}

void AppendSample(std::string* out, int64_t previousMillis, const Sample& sample) {
  // Wrapping arithmetic: any two times have a difference that reads back.
  PutVarint(out, ZigZag(static_cast<int64_t>(static_cast<uint64_t>(sample.millis) -
                                             static_cast<uint64_t>(previousMillis))));
  PutVarint(out, ZigZag(sample.status) << 1 | (sample.isText ? 1 : 0));
  if (sample.isText) {
    PutVarint(out, sample.text.size());
    out->append(sample.text);
  } else {
    uint64_t bits = std::bit_cast<uint64_t>(sample.value);
    for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(bits >> (8 * i)));
  }
}

void AppendJournalEntry(std::string* out, int64_t pointId, int64_t previousMillis,
                        const Sample& sample) {
  PutVarint(out, static_cast<uint64_t>(pointId));
  AppendSample(out, previousMillis, sample);
}

SampleReader::SampleReader(std::string_view bytes, int64_t startMillis, bool journal)
    : bytes_(bytes), millis_(startMillis), journal_(journal) {}

bool SampleReader::ReadVarint(uint64_t* value) {
  *value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at_ >= bytes_.size()) return false;
    uint8_t byte = static_cast<uint8_t>(bytes_[at_++]);
    *value |= uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return true;
  }
  return false;
}

bool SampleReader::Next(Sample* sample) {
  if (damaged_ || at_ == bytes_.size()) return false;
  uint64_t point = 0, delta = 0, tag = 0;
  if ((journal_ && !ReadVarint(&point)) || !ReadVarint(&delta) || !ReadVarint(&tag) ||
      tag >> 33 != 0) {
    damaged_ = true;
    return false;
  }
  pointId_ = static_cast<int64_t>(point);
  millis_ = static_cast<int64_t>(static_cast<uint64_t>(millis_) +
                                 static_cast<uint64_t>(UnZigZag(delta)));
  sample->millis = millis_;
  sample->status = static_cast<int32_t>(UnZigZag(tag >> 1));
  sample->isText = (tag & 1) != 0;
  if (sample->isText) {
    uint64_t length = 0;
    if (!ReadVarint(&length) || length > bytes_.size() - at_) {
      damaged_ = true;
      return false;
    }
    sample->text = bytes_.substr(at_, length);
    sample->value = 0;
    at_ += length;
  } else {
    if (bytes_.size() - at_ < 8) {
      damaged_ = true;
      return false;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= uint64_t{static_cast<uint8_t>(bytes_[at_ + i])} << (8 * i);
    sample->value = std::bit_cast<double>(bits);
    sample->text = {};
    at_ += 8;
  }
  return true;
}

}  // namespace histfeed::service
