// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/connection.h"

#include <cstdlib>

#include "service/storage/postgresql/connection_string.h"

namespace histfeed::service::postgresql {
namespace {

std::string Trimmed(const char* text) {
  std::string trimmed = text == nullptr ? "" : text;
  while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == ' ')) {
    trimmed.pop_back();
  }
  return trimmed;
}

}  // namespace

Params& Params::Add(TypeOid type, std::string bytes, int format) {
  types_.push_back(static_cast<::Oid>(type));
  lengths_.push_back(static_cast<int>(bytes.size()));
  values_.push_back(std::move(bytes));
  null_.push_back(false);
  formats_.push_back(format);
  return *this;
}

Params& Params::Int32(int32_t value) {
  std::string bytes;
  PutInt32(&bytes, value);
  return Add(TypeOid::kInt4, std::move(bytes), 1);
}
Params& Params::Int64(int64_t value) {
  std::string bytes;
  PutInt64(&bytes, value);
  return Add(TypeOid::kInt8, std::move(bytes), 1);
}
Params& Params::Double(double value) {
  std::string bytes;
  PutDouble(&bytes, value);
  return Add(TypeOid::kFloat8, std::move(bytes), 1);
}
Params& Params::Bytes(std::string_view bytes) {
  return Add(TypeOid::kBytea, std::string(bytes), 1);
}
Params& Params::Text(std::string_view text) { return Add(TypeOid::kText, std::string(text), 0); }
Params& Params::Timestamp(int64_t millis) {
  std::string bytes;
  PutInt64(&bytes, TimestampOfMillis(millis));
  return Add(TypeOid::kTimestamptz, std::move(bytes), 1);
}
Params& Params::Array(std::string bytes) {
  Add(TypeOid::kInt4, std::move(bytes), 1);
  types_.back() = 0;  // the statement's cast says which
  return *this;
}
Params& Params::Null() {
  Add(TypeOid::kBytea, "", 1);
  types_.back() = 0;
  null_.back() = true;
  return *this;
}

std::vector<const char*> Params::values() const {
  std::vector<const char*> pointers;
  for (size_t i = 0; i < values_.size(); ++i) {
    pointers.push_back(null_[i] ? nullptr : values_[i].data());
  }
  return pointers;
}

bool Result::ok() const {
  if (!result_) return false;
  ExecStatusType status = PQresultStatus(result_.get());
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int64_t Result::Affected() const {
  return result_ ? std::strtoll(PQcmdTuples(result_.get()), nullptr, 10) : 0;
}

int32_t Result::Int32(int row, int column) const {
  return ReadInt32(PQgetvalue(result_.get(), row, column));
}
int64_t Result::Int64(int row, int column) const {
  return ReadInt64(PQgetvalue(result_.get(), row, column));
}
double Result::Double(int row, int column) const {
  return ReadDouble(PQgetvalue(result_.get(), row, column));
}
std::string_view Result::Bytes(int row, int column) const {
  return std::string_view(PQgetvalue(result_.get(), row, column),
                          static_cast<size_t>(PQgetlength(result_.get(), row, column)));
}
int64_t Result::Millis(int row, int column) const {
  return MillisOfTimestamp(Int64(row, column));
}

std::string Connection::Open(const std::string& connection) {
  Close();
  connectionString_ = connection;
  error_.clear();
  sqlState_.clear();
  // Earlier keywords are defaults: the string, expanded last, overrides them.
  const char* keywords[] = {"connect_timeout", "keepalives_idle", "keepalives_interval",
                            "keepalives_count", "application_name", "dbname", nullptr};
  const char* values[] = {"10", "10", "5", "3", "histfeed-service", connection.c_str(), nullptr};
  connection_ = PQconnectdbParams(keywords, values, /*expand_dbname=*/1);
  if (connection_ != nullptr && PQstatus(connection_) == CONNECTION_OK) return "";
  error_ = connection_ == nullptr ? "out of memory"
                                  : WithoutPassword(Trimmed(PQerrorMessage(connection_)), connection);
  Close();
  return error_;
}

void Connection::Close() {
  if (connection_ != nullptr) PQfinish(connection_);
  connection_ = nullptr;
}

bool Connection::Broken() const {
  return connection_ == nullptr || PQstatus(connection_) != CONNECTION_OK;
}

void Connection::KeepError(const PGresult* result) {
  const char* primary =
      result == nullptr ? nullptr : PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  const char* state = result == nullptr ? nullptr : PQresultErrorField(result, PG_DIAG_SQLSTATE);
  std::string message = primary != nullptr ? Trimmed(primary)
                        : connection_ != nullptr ? Trimmed(PQerrorMessage(connection_))
                                                 : "not connected";
  if (message.empty()) message = "the connection to the server was lost";
  error_ = WithoutPassword(message, connectionString_);
  sqlState_ = state == nullptr ? "" : state;
}

bool Connection::Check(const Result& result, PGresult* raw) {
  if (result.ok()) return true;
  KeepError(raw);
  return false;
}

bool Connection::Exec(const std::string& sql) {
  if (connection_ == nullptr) {
    KeepError(nullptr);
    return false;
  }
  PGresult* raw = PQexec(connection_, sql.c_str());
  Result result(raw);
  return Check(result, raw);
}

Result Connection::Query(const std::string& sql, const Params& params) {
  if (connection_ == nullptr) {
    KeepError(nullptr);
    return Result();
  }
  std::vector<const char*> values = params.values();
  PGresult* raw = PQexecParams(connection_, sql.c_str(), params.size(), params.types(),
                               values.data(), params.lengths(), params.formats(),
                               /*resultFormat=*/1);
  Result result(raw);
  Check(result, raw);
  return result;
}

bool Connection::CopyIn(const std::string& sql, const std::string& data) {
  if (connection_ == nullptr) {
    KeepError(nullptr);
    return false;
  }
  PGresult* raw = PQexec(connection_, sql.c_str());
  bool copying = raw != nullptr && PQresultStatus(raw) == PGRES_COPY_IN;
  Result started(raw);
  if (!copying) {
    KeepError(raw);
    return false;
  }
  bool sent = PQputCopyData(connection_, data.data(), static_cast<int>(data.size())) == 1;
  PQputCopyEnd(connection_, sent ? nullptr : "the data could not be sent");
  // The COPY's outcome, then the end of its results.
  bool ok = true;
  while (PGresult* next = PQgetResult(connection_)) {
    Result result(next);
    if (!result.ok() && ok) {
      KeepError(next);
      ok = false;
    }
  }
  return ok;
}

}  // namespace histfeed::service::postgresql
