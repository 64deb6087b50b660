#include "store/StoreStatement.h"

#include <sqlite3.h>

#include <cctype>
#include <memory>

#include "log/CLog.h"
#include "store/CppSQLite3Exception.h"

namespace {

[[noreturn]] void ThrowLayer(const char* detail) {
  throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, detail);
}

// What the engine left unread after the first statement, when it is more
// than blanks and semicolons: a second statement would never run.
bool HasMoreText(const char* tail) {
  for (; tail != nullptr && *tail != '\0'; ++tail) {
    if (*tail != ';' && std::isspace(static_cast<unsigned char>(*tail)) == 0) return true;
  }
  return false;
}

}  // namespace

void StoreStatement::Finalizer::operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }

StoreStatement::StoreStatement(CppSQLite3DB& db, const std::string& sql) : db_(db), sql_(sql) {
  db_.CheckHandle();
  stmt_.reset(db_.TakeCached(sql_));
  if (!stmt_) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    int rc =
        sqlite3_prepare_v2(db_.db_, sql.c_str(), static_cast<int>(sql.size() + 1), &stmt, &tail);
    stmt_.reset(stmt);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(db_.db_));
    if (!stmt_) ThrowLayer("No statement in the SQL text");
    if (HasMoreText(tail)) ThrowLayer("More than one statement in the SQL text");
  }
  columns_ = sqlite3_column_count(stmt_.get());
  bound_.assign(static_cast<size_t>(sqlite3_bind_parameter_count(stmt_.get())) + 1, false);
}

StoreStatement::~StoreStatement() {
  if (!stmt_) return;
  // Reset, it holds no read of the database open while it waits.
  sqlite3_reset(stmt_.get());
  sqlite3_clear_bindings(stmt_.get());
  db_.GiveBack(sql_, stmt_.release());
}

void StoreStatement::CheckBind(int index, int rc) {
  if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(db_.db_));
  bound_[static_cast<size_t>(index)] = true;
}

void StoreStatement::bind(int index, int value) {
  CheckBind(index, sqlite3_bind_int(stmt_.get(), index, value));
}

void StoreStatement::bind(int index, int64_t value) {
  CheckBind(index, sqlite3_bind_int64(stmt_.get(), index, value));
}

void StoreStatement::bind(int index, double value) {
  CheckBind(index, sqlite3_bind_double(stmt_.get(), index, value));
}

void StoreStatement::bind(int index, const std::string& value) {
  CheckBind(index, sqlite3_bind_text64(stmt_.get(), index, value.data(), value.size(),
                                       SQLITE_TRANSIENT, SQLITE_UTF8));
}

void StoreStatement::bind(int index, std::nullptr_t) {
  CheckBind(index, sqlite3_bind_null(stmt_.get(), index));
}

void StoreStatement::bindHidden(int index, const std::string& value) {
  bind(index, value);
  for (auto& [at, kept] : hidden_) {
    if (at == index) {
      kept = value;
      return;
    }
  }
  hidden_.emplace_back(index, value);
}

void StoreStatement::StartRun() {
  if (stage_ != Stage::kReady) ThrowLayer("Statement already run; reset it first");
  for (size_t i = 1; i < bound_.size(); ++i) {
    if (!bound_[i]) ThrowLayer("No value bound to a placeholder");
  }
  CppSQLite3DB::CheckFault(sqlite3_sql(stmt_.get()));
}

int StoreStatement::Step() {
  int rc = sqlite3_step(stmt_.get());
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
  CppSQLite3Exception e(rc, sqlite3_errmsg(db_.db_));
  // Releases what the failed run holds; the run counts as ended.
  sqlite3_reset(stmt_.get());
  stage_ = Stage::kDone;
  throw e;
}

void StoreStatement::LogRun() {
  CLog* log = CLog::Instance();
  if (!log->Enabled() || log->Threshold() < LOG_DEBUG) return;
  // The engine writes the text with the values; a hidden one is swapped for
  // the mask only while it does.
  for (const auto& entry : hidden_)
    CheckBind(entry.first, sqlite3_bind_text(stmt_.get(), entry.first, "***", 3, SQLITE_STATIC));
  std::unique_ptr<char, decltype(&sqlite3_free)> text(sqlite3_expanded_sql(stmt_.get()),
                                                      &sqlite3_free);
  for (const auto& entry : hidden_) bind(entry.first, entry.second);
  log->Write(LOG_DEBUG, "sql=%s", text ? text.get() : sqlite3_sql(stmt_.get()));
}

int StoreStatement::exec() {
  StartRun();
  LogRun();
  if (Step() == SQLITE_ROW) {
    reset();
    ThrowLayer("exec() of a statement that yields rows; use executeStep()");
  }
  int changes = sqlite3_changes(db_.db_);
  reset();
  return changes;
}

bool StoreStatement::executeStep() {
  if (stage_ == Stage::kDone) ThrowLayer("Statement at its end; reset it first");
  bool first = stage_ == Stage::kReady;
  if (first) StartRun();
  stage_ = Step() == SQLITE_ROW ? Stage::kRow : Stage::kDone;
  if (first) {
    // A schema changed by another connection compiles the statement again
    // at its first step, perhaps with other columns.
    int columns = sqlite3_column_count(stmt_.get());
    if (columns != columns_) names_.clear();
    columns_ = columns;
  }
  return stage_ == Stage::kRow;
}

void StoreStatement::reset() {
  // The code of a failed run was thrown when it failed.
  sqlite3_reset(stmt_.get());
  stage_ = Stage::kReady;
}

int StoreStatement::getColumnIndex(const char* name) const {
  if (name != nullptr) {
    if (names_.empty() && columns_ > 0) {
      names_.reserve(static_cast<size_t>(columns_));
      for (int i = 0; i < columns_; ++i) {
        const char* column = sqlite3_column_name(stmt_.get(), i);
        names_.emplace_back(column != nullptr ? column : "");
      }
    }
    for (int i = 0; i < columns_; ++i) {
      if (names_[static_cast<size_t>(i)] == name) return i;
    }
  }
  ThrowLayer("Invalid field name requested");
}

int StoreStatement::CheckedColumn(int index) const {
  if (stage_ != Stage::kRow) ThrowLayer("No current row");
  if (index < 0 || index >= columns_) ThrowLayer("Invalid field index requested");
  return index;
}

bool StoreStatement::isNull(int index) const {
  return sqlite3_column_type(stmt_.get(), CheckedColumn(index)) == SQLITE_NULL;
}

int StoreStatement::getInt(int index) const {
  return sqlite3_column_int(stmt_.get(), CheckedColumn(index));
}

int64_t StoreStatement::getInt64(int index) const {
  return sqlite3_column_int64(stmt_.get(), CheckedColumn(index));
}

double StoreStatement::getDouble(int index) const {
  return sqlite3_column_double(stmt_.get(), CheckedColumn(index));
}

std::string StoreStatement::getText(int index) const {
  int column = CheckedColumn(index);
  const unsigned char* text = sqlite3_column_text(stmt_.get(), column);
  if (text == nullptr) return "";
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), column)));
}
