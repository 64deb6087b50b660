#include "store/CppSQLite3DB.h"

#include <sqlite3.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/CppSQLite3Exception.h"

namespace {

bool InWalMode(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr) != SQLITE_OK) return false;
  bool wal =
      sqlite3_step(stmt) == SQLITE_ROW &&
      sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal") == 0;
  sqlite3_finalize(stmt);
  return wal;
}

// Native path -> its idle connection; guarded by g_keep_mutex. The
// connections are never closed.
std::mutex g_keep_mutex;
std::map<std::string, sqlite3*>* g_kept = new std::map<std::string, sqlite3*>();

// The test seam's filter; guarded by g_fault_mutex, g_fault_on spares the
// lock while no test has set one.
std::mutex g_fault_mutex;
std::atomic<bool> g_fault_on{false};
CppSQLite3DB::FaultFilter* g_fault = new CppSQLite3DB::FaultFilter();

}  // namespace

void CppSQLite3DB::KeepOpen(const std::string& path) {
  const std::string native_path = NativePath(path);
  std::lock_guard<std::mutex> lock(g_keep_mutex);
  if (g_kept->count(native_path) != 0) return;
  sqlite3* keeper = nullptr;
  // One read makes the idle connection map the log's index, which is what
  // marks it as still there.
  if (sqlite3_open_v2(native_path.c_str(), &keeper, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      sqlite3_exec(keeper, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
    sqlite3_close(keeper);
    return;
  }
  (*g_kept)[native_path] = keeper;
}

CppSQLite3DB::~CppSQLite3DB() { CloseDb(); }

void CppSQLite3DB::OpenDb(const std::string& path) {
  // Re-opening must not strand the previous connection.
  CloseDb();
  int rc = sqlite3_open(NativePath(path).c_str(), &db_);
  if (rc != SQLITE_OK) {
    const char* detail = db_ != nullptr ? sqlite3_errmsg(db_) : "";
    throw CppSQLite3Exception(rc, detail);
  }
  sqlite3_busy_timeout(db_, busy_timeout_ms_);
  // Every drive callback commits through a fresh handle: with a write-ahead
  // log a commit costs one append instead of two synced journal rewrites,
  // and readers never wait for the other threads' writers. NORMAL is still
  // safe against a crash of the process. A database that another
  // connection holds stays in its old mode until a later open.
  sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (!InWalMode(db_)) sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  open_ = true;
}

sqlite3_stmt* CppSQLite3DB::TakeCached(const std::string& sql) {
  auto it = cached_.find(sql);
  if (it == cached_.end()) return nullptr;
  sqlite3_stmt* stmt = it->second;
  cached_.erase(it);
  return stmt;
}

void CppSQLite3DB::GiveBack(const std::string& sql, sqlite3_stmt* stmt) {
  if (db_ == nullptr || cached_.size() >= kCachedStatements) {
    sqlite3_finalize(stmt);
    return;
  }
  cached_.emplace(sql, stmt);
}

void CppSQLite3DB::CloseDb() {
  // A statement left unfinalized would keep the connection from closing.
  for (auto& [sql, stmt] : cached_) sqlite3_finalize(stmt);
  cached_.clear();
  if (db_ != nullptr) {
    sqlite3_close(db_);
    db_ = nullptr;
  }
  open_ = false;
}

void CppSQLite3DB::SetFaultForTest(FaultFilter filter) {
  std::lock_guard<std::mutex> lock(g_fault_mutex);
  g_fault_on = static_cast<bool>(filter);
  *g_fault = std::move(filter);
}

bool CppSQLite3DB::Faulted(const char* sql) {
  if (!g_fault_on) return false;
  std::lock_guard<std::mutex> lock(g_fault_mutex);
  return *g_fault && (*g_fault)(sql);
}

void CppSQLite3DB::CheckFault(const char* sql) {
  if (Faulted(sql)) throw CppSQLite3Exception(SQLITE_IOERR, "injected fault");
}

void CppSQLite3DB::CheckHandle() const {
  if (db_ == nullptr)
    throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "Database not open");
}

int CppSQLite3DB::RunStatement(const std::string& sql) {
  CheckHandle();
  CheckFault(sql.c_str());
  CLog::Instance()->Write(LOG_DEBUG, "sql=%s", sql.c_str());
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    CppSQLite3Exception e(rc, error);
    sqlite3_free(error);
    throw e;
  }
  return sqlite3_changes(db_);
}

void CppSQLite3DB::RollBack() noexcept {
  static const char kRollBack[] = "ROLLBACK";
  int rc = SQLITE_OK;
  char* error = nullptr;
  const char* detail = nullptr;
  if (db_ == nullptr) {
    rc = CppSQLite3Exception::kLayerError;
    detail = "Database not open";
  } else if (Faulted(kRollBack)) {
    rc = SQLITE_IOERR;
    detail = "injected fault";
  } else {
    CLog::Instance()->Write(LOG_DEBUG, "sql=%s", kRollBack);
    rc = sqlite3_exec(db_, kRollBack, nullptr, nullptr, &error);
    detail = error;
  }
  // A failed COMMIT may have ended the transaction already.
  if (rc != SQLITE_OK)
    CLog::Instance()->Write(LOG_DEBUG, "ROLLBACK error.msg=%s",
                            CppSQLite3Exception(rc, detail).Message());
  sqlite3_free(error);
}
