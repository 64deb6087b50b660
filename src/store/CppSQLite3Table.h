#pragma once

// The complete result of one query, held in memory.
// Thread contract: one thread at a time; independent of its connection once
// made.
class CppSQLite3Table {
 public:
  CppSQLite3Table() = default;
  // Takes ownership of results from sqlite3_get_table.
  CppSQLite3Table(char** results, int rows, int columns);
  CppSQLite3Table(CppSQLite3Table&& other) noexcept;
  CppSQLite3Table& operator=(CppSQLite3Table&& other) noexcept;
  CppSQLite3Table(const CppSQLite3Table&) = delete;
  CppSQLite3Table& operator=(const CppSQLite3Table&) = delete;
  virtual ~CppSQLite3Table();

  int RowCount() const;
  int ColumnCount() const { return columns_; }

 private:
  void Release() noexcept;

  int columns_ = 0;
  int rows_ = 0;
  int current_row_ = 0;
  char** results_ = nullptr;
};
