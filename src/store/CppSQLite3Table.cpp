#include "store/CppSQLite3Table.h"

#include <sqlite3.h>
#include <utility>

#include "store/CppSQLite3Exception.h"

CppSQLite3Table::CppSQLite3Table(char** results, int rows, int columns)
    : columns_(columns), rows_(rows), results_(results) {}

CppSQLite3Table::CppSQLite3Table(CppSQLite3Table&& other) noexcept
    : columns_(std::exchange(other.columns_, 0)),
      rows_(std::exchange(other.rows_, 0)),
      current_row_(std::exchange(other.current_row_, 0)),
      results_(std::exchange(other.results_, nullptr)) {}

CppSQLite3Table& CppSQLite3Table::operator=(CppSQLite3Table&& other) noexcept {
  if (this == &other) return *this;
  Release();
  columns_ = std::exchange(other.columns_, 0);
  rows_ = std::exchange(other.rows_, 0);
  current_row_ = std::exchange(other.current_row_, 0);
  results_ = std::exchange(other.results_, nullptr);
  return *this;
}

CppSQLite3Table::~CppSQLite3Table() { Release(); }

void CppSQLite3Table::Release() noexcept {
  if (results_ != nullptr) sqlite3_free_table(results_);
  results_ = nullptr;
}

int CppSQLite3Table::RowCount() const {
  if (results_ == nullptr)
    throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "Null Results pointer");
  return rows_;
}
