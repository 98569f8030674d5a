// SPDX-License-Identifier: Apache-2.0
// One libpq connection, its results and parameters, closed and freed on
// their own. Parameters and results travel in binary form: names and texts
// are bytes (bytea), numbers keep their bits. Errors are kept in
// PostgreSQL's words, any password taken out.
//
// A connection is used by one thread at a time.
#ifndef HISTFEED_SERVICE_STORAGE_POSTGRESQL_CONNECTION_H_
#define HISTFEED_SERVICE_STORAGE_POSTGRESQL_CONNECTION_H_

#include <libpq-fe.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/storage/postgresql/binary_format.h"

namespace histfeed::service::postgresql {

// SQLSTATE codes the storage acts on.
inline constexpr std::string_view kUniqueViolation = "23505";
inline constexpr std::string_view kNoPartitionForRow = "23514";
inline constexpr std::string_view kQueryCanceled = "57014";

class Params {
 public:
  Params& Int32(int32_t value);
  Params& Int64(int64_t value);
  Params& Double(double value);
  Params& Bytes(std::string_view bytes);
  Params& Text(std::string_view text);
  Params& Timestamp(int64_t millis);
  // An array from ArrayParam::Finish; the statement casts it ($1::int4[]).
  Params& Array(std::string bytes);
  Params& Null();

  int size() const { return static_cast<int>(values_.size()); }
  const ::Oid* types() const { return types_.data(); }
  std::vector<const char*> values() const;
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  Params& Add(TypeOid type, std::string bytes, int format);
  std::vector<::Oid> types_;
  std::vector<std::string> values_;
  std::vector<bool> null_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
};

// A result; its fields read in binary form.
class Result {
 public:
  Result() = default;
  explicit Result(PGresult* result) : result_(result, PQclear) {}

  bool ok() const;
  int rows() const { return result_ ? PQntuples(result_.get()) : 0; }
  bool IsNull(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
  int32_t Int32(int row, int column) const;
  int64_t Int64(int row, int column) const;
  double Double(int row, int column) const;
  std::string_view Bytes(int row, int column) const;
  std::string String(int row, int column) const { return std::string(Bytes(row, column)); }
  int64_t Millis(int row, int column) const;  // of a timestamptz
  bool Bool(int row, int column) const { return Bytes(row, column) == std::string_view("\1", 1); }
  // Rows an INSERT, UPDATE or DELETE touched.
  int64_t Affected() const;

 private:
  std::shared_ptr<PGresult> result_;
};

class Connection {
 public:
  Connection() = default;
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects; the error text (password taken out), empty once connected.
  // Settings the string does not make: a 10 s connect time-out, keep-alive
  // probes (a server that vanished is noticed within half a minute) and
  // the application name "histfeed-service".
  std::string Open(const std::string& connection);
  void Close();
  bool open() const { return connection_ != nullptr; }
  // The connection broke: the server went away or restarted.
  bool Broken() const;

  // Runs statements without parameters (several, separated by ';').
  bool Exec(const std::string& sql);
  // Runs one statement; the result says whether it succeeded.
  Result Query(const std::string& sql, const Params& params = Params());
  bool Run(const std::string& sql, const Params& params) { return Query(sql, params).ok(); }
  // COPY ... FROM STDIN with `data` (CopyRows::Finish).
  bool CopyIn(const std::string& sql, const std::string& data);

  // Of the last statement that failed: PostgreSQL's message and SQLSTATE.
  const std::string& error() const { return error_; }
  const std::string& sqlState() const { return sqlState_; }
  PGconn* get() const { return connection_; }

 private:
  bool Check(const Result& result, PGresult* raw);
  void KeepError(const PGresult* result);

  PGconn* connection_ = nullptr;
  std::string connectionString_;
  std::string error_, sqlState_;
};

}  // namespace histfeed::service::postgresql

#endif  // HISTFEED_SERVICE_STORAGE_POSTGRESQL_CONNECTION_H_
