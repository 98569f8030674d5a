// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/binary_format.h"

#include <bit>
#include <cstring>

namespace histfeed::service::postgresql {
namespace {

template <typename Unsigned>
void PutBigEndian(std::string* out, Unsigned value) {
  char bytes[sizeof(Unsigned)];
  for (size_t i = 0; i < sizeof(Unsigned); ++i) {
    bytes[sizeof(Unsigned) - 1 - i] = static_cast<char>(value & 0xff);
    value = static_cast<Unsigned>(value >> 8);
  }
  out->append(bytes, sizeof bytes);
}

template <typename Unsigned>
Unsigned ReadBigEndian(const char* bytes) {
  Unsigned value = 0;
  for (size_t i = 0; i < sizeof(Unsigned); ++i) {
    value = static_cast<Unsigned>((value << 8) | static_cast<unsigned char>(bytes[i]));
  }
  return value;
}

constexpr char kCopySignature[] = "PGCOPY\n\377\r\n";  // and its closing zero byte

}  // namespace

void PutInt16(std::string* out, int16_t value) {
  PutBigEndian(out, static_cast<uint16_t>(value));
}
void PutInt32(std::string* out, int32_t value) {
  PutBigEndian(out, static_cast<uint32_t>(value));
}
void PutInt64(std::string* out, int64_t value) {
  PutBigEndian(out, static_cast<uint64_t>(value));
}
void PutDouble(std::string* out, double value) {
  PutBigEndian(out, std::bit_cast<uint64_t>(value));
}

int32_t ReadInt32(const char* bytes) {
  return static_cast<int32_t>(ReadBigEndian<uint32_t>(bytes));
}
int64_t ReadInt64(const char* bytes) {
  return static_cast<int64_t>(ReadBigEndian<uint64_t>(bytes));
}
double ReadDouble(const char* bytes) { return std::bit_cast<double>(ReadBigEndian<uint64_t>(bytes)); }

CopyRows::CopyRows() {
  data_.append(kCopySignature, sizeof kCopySignature);  // the zero byte included
  PutInt32(&data_, 0);  // flags
  PutInt32(&data_, 0);  // no header extension
}

void CopyRows::StartRow(int16_t fields) {
  PutInt16(&data_, fields);
  ++rows_;
}
void CopyRows::Int32(int32_t value) {
  PutInt32(&data_, 4);
  PutInt32(&data_, value);
}
void CopyRows::Double(double value) {
  PutInt32(&data_, 8);
  PutDouble(&data_, value);
}
void CopyRows::Bytes(std::string_view bytes) {
  PutInt32(&data_, static_cast<int32_t>(bytes.size()));
  data_.append(bytes);
}
void CopyRows::Timestamp(int64_t millis) {
  PutInt32(&data_, 8);
  PutInt64(&data_, TimestampOfMillis(millis));
}
void CopyRows::Null() { PutInt32(&data_, -1); }

std::string CopyRows::Finish() {
  PutInt16(&data_, -1);
  return std::move(data_);
}

ArrayParam::ArrayParam(TypeOid element) : element_(element) {}

void ArrayParam::Int32(int32_t value) {
  PutInt32(&items_, 4);
  PutInt32(&items_, value);
  ++count_;
}
void ArrayParam::Int64(int64_t value) {
  PutInt32(&items_, 8);
  PutInt64(&items_, value);
  ++count_;
}
void ArrayParam::Bytes(std::string_view bytes) {
  PutInt32(&items_, static_cast<int32_t>(bytes.size()));
  items_.append(bytes);
  ++count_;
}
void ArrayParam::Timestamp(int64_t millis) {
  PutInt32(&items_, 8);
  PutInt64(&items_, TimestampOfMillis(millis));
  ++count_;
}

std::string ArrayParam::Finish() {
  std::string array;
  PutInt32(&array, 1);  // dimensions
  PutInt32(&array, 0);  // no NULL among the items
  PutInt32(&array, static_cast<int32_t>(element_));
  PutInt32(&array, count_);
  PutInt32(&array, 1);  // the first index
  return array + items_;
}

}  // namespace histfeed::service::postgresql
