// SPDX-License-Identifier: Apache-2.0
// A connection to the database and its prepared statements, finalized and
// closed on their own. Names and texts go in and come out as bytes.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_STATEMENT_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_STATEMENT_H_

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace histfeed::service::sqlite {

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) !=
        SQLITE_OK) {
      statement_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }

  Statement& Bind(int index, int64_t number) {
    sqlite3_bind_int64(statement_, index, number);
    return *this;
  }
  Statement& Bind(int index, double number) {
    sqlite3_bind_double(statement_, index, number);
    return *this;
  }
  // Bytes, compared as bytes: names, identifiers and records.
  Statement& Bind(int index, std::string_view bytes) {
    sqlite3_bind_blob64(statement_, index, bytes.empty() ? "" : bytes.data(), bytes.size(),
                        SQLITE_TRANSIENT);
    return *this;
  }
  Statement& BindText(int index, std::string_view text) {
    sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                        SQLITE_UTF8);
    return *this;
  }
  Statement& BindNull(int index) {
    sqlite3_bind_null(statement_, index);
    return *this;
  }

  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return statement_ == nullptr ? SQLITE_MISUSE : sqlite3_step(statement_); }
  // Runs a statement that returns no rows, and makes it ready for the next
  // use; true when it succeeded.
  bool Run() {
    int result = Step();
    Reset();
    return result == SQLITE_DONE;
  }
  void Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }

  int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  double Real(int column) const { return sqlite3_column_double(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::string_view Bytes(int column) const {
    const void* data = sqlite3_column_blob(statement_, column);
    return data == nullptr ? std::string_view()
                           : std::string_view(static_cast<const char*>(data),
                                              static_cast<size_t>(
                                                  sqlite3_column_bytes(statement_, column)));
  }
  std::string String(int column) const { return std::string(Bytes(column)); }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// A statement that is reset when it goes out of scope, so a cached one is
// ready for its next use however its user left it.
class ScopedStatement {
 public:
  explicit ScopedStatement(Statement& statement) : statement_(statement) {}
  ~ScopedStatement() { statement_.Reset(); }
  ScopedStatement(const ScopedStatement&) = delete;
  ScopedStatement& operator=(const ScopedStatement&) = delete;
  Statement* operator->() { return &statement_; }
  Statement& operator*() { return statement_; }

 private:
  Statement& statement_;
};

class Connection {
 public:
  Connection() = default;
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens with SQLite's `flags`; returns SQLite's reason when it cannot.
  std::string Open(const std::string& path, int flags) {
    Close();
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) == SQLITE_OK) return "";
    std::string error = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    Close();
    return error;
  }
  void Close() {
    statements_.clear();
    if (db_ != nullptr) sqlite3_close(db_);
    db_ = nullptr;
  }

  sqlite3* get() const { return db_; }
  bool Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // SQLite's reason for the last failure on this connection.
  std::string Error() const { return db_ == nullptr ? "database not open" : sqlite3_errmsg(db_); }

  // The statement for `sql`, prepared once and reset after each use. `sql`
  // must be a text that lives as long as the connection: it is the key.
  ScopedStatement Cached(const char* sql) {
    auto& statement = statements_[sql];
    if (statement == nullptr || !statement->ok()) statement = std::make_unique<Statement>(db_, sql);
    return ScopedStatement(*statement);
  }
  // One number from a query, or `fallback` when it gives none.
  int64_t QueryInt(const char* sql, int64_t fallback) {
    ScopedStatement query = Cached(sql);
    return query->Step() == SQLITE_ROW && !query->IsNull(0) ? query->Int(0) : fallback;
  }

 private:
  sqlite3* db_ = nullptr;
  std::map<const char*, std::unique_ptr<Statement>> statements_;
};

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_STATEMENT_H_
