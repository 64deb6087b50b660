#include "store/CppSQLite3Query.h"

#include <sqlite3.h>
#include <utility>

#include "store/CppSQLite3Exception.h"

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* stmt, bool at_end)
    : db_(db), stmt_(stmt), at_end_(at_end), columns_(sqlite3_column_count(stmt)), owns_(true) {}

CppSQLite3Query::CppSQLite3Query(CppSQLite3Query&& other) noexcept
    : db_(other.db_),
      stmt_(std::exchange(other.stmt_, nullptr)),
      at_end_(other.at_end_),
      columns_(std::exchange(other.columns_, 0)),
      owns_(std::exchange(other.owns_, false)),
      names_(std::move(other.names_)) {}

CppSQLite3Query& CppSQLite3Query::operator=(CppSQLite3Query&& other) noexcept {
  if (this == &other) return *this;
  Release();
  db_ = other.db_;
  stmt_ = std::exchange(other.stmt_, nullptr);
  at_end_ = other.at_end_;
  columns_ = std::exchange(other.columns_, 0);
  owns_ = std::exchange(other.owns_, false);
  names_ = std::move(other.names_);
  return *this;
}

CppSQLite3Query::~CppSQLite3Query() { Release(); }

void CppSQLite3Query::Release() noexcept {
  try {
    Finish();
  } catch (const CppSQLite3Exception&) {
    // A destructor has nobody to tell; the statement is gone either way.
  }
}

void CppSQLite3Query::CheckStatement() const {
  if (stmt_ == nullptr)
    throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "Null Virtual Machine pointer");
}

int CppSQLite3Query::ColumnIndex(const char* name) const {
  CheckStatement();
  if (name != nullptr) {
    if (names_.empty() && columns_ > 0) {
      names_.reserve(static_cast<size_t>(columns_));
      for (int i = 0; i < columns_; ++i) {
        const char* column = sqlite3_column_name(stmt_, i);
        names_.emplace_back(column != nullptr ? column : "");
      }
    }
    for (int i = 0; i < columns_; ++i) {
      if (names_[static_cast<size_t>(i)] == name) return i;
    }
  }
  throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "Invalid field name requested");
}

int CppSQLite3Query::ColumnType(int index) const {
  CheckStatement();
  if (index < 0 || index >= columns_)
    throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "Invalid field index requested");
  return sqlite3_column_type(stmt_, index);
}

int CppSQLite3Query::IntValue(const char* name) const {
  int index = ColumnIndex(name);
  if (ColumnType(index) == SQLITE_NULL) return 0;
  return sqlite3_column_int(stmt_, index);
}

int64_t CppSQLite3Query::Int64Value(const char* name) const {
  int index = ColumnIndex(name);
  if (ColumnType(index) == SQLITE_NULL) return 0;
  return sqlite3_column_int64(stmt_, index);
}

std::string CppSQLite3Query::TextValue(const char* name) const {
  int index = ColumnIndex(name);
  if (ColumnType(index) == SQLITE_NULL) return "";
  const unsigned char* text = sqlite3_column_text(stmt_, index);
  if (text == nullptr) return "";
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(stmt_, index)));
}

bool CppSQLite3Query::AtEnd() const {
  CheckStatement();
  return at_end_;
}

void CppSQLite3Query::Next() {
  CheckStatement();
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_DONE) {
    at_end_ = true;
    return;
  }
  if (rc == SQLITE_ROW) return;
  // The first-generation prepare leaves the real code to sqlite3_finalize.
  rc = sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  throw CppSQLite3Exception(rc, sqlite3_errmsg(db_));
}

void CppSQLite3Query::Finish() {
  if (!owns_ || stmt_ == nullptr) return;
  int rc = sqlite3_finalize(stmt_);
  stmt_ = nullptr;
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(db_));
}
