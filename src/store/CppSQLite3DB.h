#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

// One connection to one database file. Every failure throws
// CppSQLite3Exception; every data statement is logged "sql=%s" at debug.
// Statements that carry values, and every query, are StoreStatements made
// on it.
// Statements given back by their StoreStatements are kept, by their text,
// for the next one: a connection kept open (the drive's) compiles each
// statement once.
// Thread contract: one thread at a time; the layer has no lock. Several
// connections to one file rely on the engine's file locking and the busy
// time-out.
class CppSQLite3DB {
 public:
  static constexpr size_t kCachedStatements = 64;

  CppSQLite3DB() = default;
  CppSQLite3DB(const CppSQLite3DB&) = delete;
  CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;
  virtual ~CppSQLite3DB();

  // Applied at every OpenDb.
  void SetBusyTimeout(int milliseconds) { busy_timeout_ms_ = milliseconds; }

  // Opens (creating if missing) the file at the program path. A handle
  // still held from an earlier open is closed first.
  void OpenDb(const std::string& path);

  // Opens one idle connection to the database for the life of the process,
  // so that the close of a short-lived handle is never the last one: the
  // last close folds the write-ahead log back into the file and syncs it,
  // which would make every handle pay for a checkpoint (commits still fold
  // it back as it grows). Only for databases that stay where they are: one
  // that is built and then renamed into place must be closed for good first.
  // Any thread.
  static void KeepOpen(const std::string& path);
  void CloseDb();
  bool IsOpen() const { return open_; }

  // For fixed text without values or rows (one statement or a script); the
  // number of rows changed.
  int RunStatement(const std::string& sql);
  // Ends the open transaction, undoing its changes; for a destructor, so it
  // never throws: a failure is logged at debug, as a failed COMMIT may have
  // ended the transaction already.
  void RollBack() noexcept;

  // Test seam: while set, every statement or query of any connection whose
  // text (as written, with its placeholders) the filter accepts throws as a
  // disk I/O error would, before it reaches the database. An empty filter
  // ends the faults. Any thread.
  using FaultFilter = std::function<bool(const std::string& sql)>;
  static void SetFaultForTest(FaultFilter filter);

 private:
  friend class StoreStatement;

  void CheckHandle() const;
  // A statement of this text given back before, reset; nullptr when none.
  sqlite3_stmt* TakeCached(const std::string& sql);
  // Keeps a reset statement for its text, or finalizes it past the limit.
  void GiveBack(const std::string& sql, sqlite3_stmt* stmt);
  static bool Faulted(const char* sql);
  static void CheckFault(const char* sql);

  bool open_ = false;
  sqlite3* db_ = nullptr;
  int busy_timeout_ms_ = 0;
  std::unordered_multimap<std::string, sqlite3_stmt*> cached_;
};
