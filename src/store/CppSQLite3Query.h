#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// A forward-only cursor over one prepared statement; it finalises the
// statement when it goes. Every failure throws CppSQLite3Exception.
// Thread contract: one thread at a time, the thread that owns its
// connection; it must be destroyed before the connection is closed.
class CppSQLite3Query {
 public:
  CppSQLite3Query() = default;
  // Made by CppSQLite3DB::RunQuery after the first step.
  CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool at_end);
  CppSQLite3Query(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query& operator=(CppSQLite3Query&& other) noexcept;
  CppSQLite3Query(const CppSQLite3Query&) = delete;
  CppSQLite3Query& operator=(const CppSQLite3Query&) = delete;
  virtual ~CppSQLite3Query();

  int ColumnCount() const { return columns_; }
  // Exact, case-sensitive match against the result column names.
  int ColumnIndex(const char* name) const;
  int ColumnType(int index) const;

  // A null column reads as 0 or as "".
  int IntValue(const char* name) const;  // low 32 bits, as sqlite3_column_int
  int64_t Int64Value(const char* name) const;
  std::string TextValue(const char* name) const;

  bool AtEnd() const;
  void Next();
  void Finish();

 private:
  void CheckStatement() const;
  void Release() noexcept;

  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  bool at_end_ = true;
  int columns_ = 0;
  bool owns_ = false;
  // The result column names, copied on the first look-up: reading them from
  // the engine each time dominated the cost of reading a row by name.
  mutable std::vector<std::string> names_;
};
