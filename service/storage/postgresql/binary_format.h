// SPDX-License-Identifier: Apache-2.0
// PostgreSQL's binary forms, as the storage sends and reads them: numbers
// in network byte order, a double as its eight bytes (so every bit
// pattern, NaN payloads and -0.0 included, goes through unchanged), and a
// time stamp as microseconds since 2000-01-01 UTC.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_BINARY_FORMAT_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_BINARY_FORMAT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace histfeed::service::postgresql {

// Milliseconds since 1970 at PostgreSQL's epoch, 2000-01-01.
inline constexpr int64_t kPostgresEpochMillis = 946'684'800'000;

constexpr int64_t TimestampOfMillis(int64_t millis) {
  return (millis - kPostgresEpochMillis) * 1000;
}
constexpr int64_t MillisOfTimestamp(int64_t micros) {
  int64_t millis = micros / 1000;
  if (micros % 1000 < 0) --millis;
  return millis + kPostgresEpochMillis;
}

// Type numbers of the binary parameters and array elements used here.
enum class TypeOid : uint32_t {
  kBytea = 17,
  kInt8 = 20,
  kInt4 = 23,
  kText = 25,
  kFloat8 = 701,
  kTimestamptz = 1184,
};

void PutInt16(std::string* out, int16_t value);
void PutInt32(std::string* out, int32_t value);
void PutInt64(std::string* out, int64_t value);
void PutDouble(std::string* out, double value);

int32_t ReadInt32(const char* bytes);
int64_t ReadInt64(const char* bytes);
double ReadDouble(const char* bytes);

// The data of a COPY ... FROM STDIN (FORMAT binary): rows of fields.
class CopyRows {
 public:
  CopyRows();
  void StartRow(int16_t fields);
  void Int32(int32_t value);
  void Double(double value);
  void Bytes(std::string_view bytes);
  void Timestamp(int64_t millis);
  void Null();
  // The bytes to send, trailer included; the builder is spent.
  std::string Finish();
  int64_t rows() const { return rows_; }

 private:
  std::string data_;
  int64_t rows_ = 0;
};

// A one-dimensional array parameter (for unnest) in binary form.
class ArrayParam {
 public:
  explicit ArrayParam(TypeOid element);
  void Int32(int32_t value);
  void Int64(int64_t value);
  void Bytes(std::string_view bytes);
  void Timestamp(int64_t millis);
  // The bytes to send; the builder is spent.
  std::string Finish();

 private:
  TypeOid element_;
  std::string items_;
  int32_t count_ = 0;
};

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_BINARY_FORMAT_H_
