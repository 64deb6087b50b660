#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "store/CppSQLite3DB.h"

struct sqlite3_stmt;

// One prepared statement of one connection. Values go to its "?"
// placeholders through bind and never into its text. Every failure throws
// CppSQLite3Exception. exec runs a statement without rows and is logged
// "sql=%s" at debug with its values, as CppSQLite3DB::RunStatement; rows
// are read with executeStep and not logged. Every run consults the
// connection's fault seam with the text as written, placeholders and all.
// The compiled statement goes back to its connection at the end, for the
// next statement of the same text.
// Thread contract: one thread at a time, the thread that uses its
// connection; it must be destroyed before that connection is closed.
class StoreStatement {
 public:
  // Throws when db is not open, or sql is not exactly one valid statement.
  StoreStatement(CppSQLite3DB& db, const std::string& sql);
  ~StoreStatement();
  StoreStatement(const StoreStatement&) = delete;
  StoreStatement& operator=(const StoreStatement&) = delete;

  // index counts from 1, as the placeholders do. Values stay bound across
  // runs; binding is only allowed before a run or after reset.
  void bind(int index, int value);
  void bind(int index, int64_t value);
  void bind(int index, double value);
  void bind(int index, const std::string& value);
  void bind(int index, std::nullptr_t);
  // As bind, but the log shows '***' in its place: for a password.
  void bindHidden(int index, const std::string& value);

  // Runs a statement that yields no rows to its end and leaves it ready to
  // run again; the number of rows it changed.
  int exec();
  // Steps to the next row; false once there is none (then reset before
  // stepping again).
  bool executeStep();
  // Back to the start, values kept.
  void reset();

  // The current row's columns, by index from 0 or by result name (exact,
  // case-sensitive). A null column reads as 0 or "".
  int getColumnCount() const { return columns_; }
  int getColumnIndex(const char* name) const;
  bool isNull(int index) const;
  int getInt(int index) const;  // the low 32 bits, as sqlite3_column_int
  int64_t getInt64(int index) const;
  double getDouble(int index) const;
  std::string getText(int index) const;
  bool isNull(const char* name) const { return isNull(getColumnIndex(name)); }
  int getInt(const char* name) const { return getInt(getColumnIndex(name)); }
  int64_t getInt64(const char* name) const { return getInt64(getColumnIndex(name)); }
  double getDouble(const char* name) const { return getDouble(getColumnIndex(name)); }
  std::string getText(const char* name) const { return getText(getColumnIndex(name)); }

 private:
  enum class Stage { kReady, kRow, kDone };
  struct Finalizer {
    void operator()(sqlite3_stmt* stmt) const;
  };

  void CheckBind(int index, int rc);
  void StartRun();
  int Step();
  void LogRun();
  int CheckedColumn(int index) const;

  CppSQLite3DB& db_;
  std::string sql_;
  std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
  Stage stage_ = Stage::kReady;
  int columns_ = 0;
  // Which placeholders hold a value: an unbound one would store NULL
  // silently.
  std::vector<bool> bound_;
  std::vector<std::pair<int, std::string>> hidden_;
  // The result column names, copied on the first look-up: reading them from
  // the engine each time dominated the cost of reading a row by name.
  mutable std::vector<std::string> names_;
};
