#include "store/StoreTransaction.h"

#include <optional>

#include "log/CLog.h"
#include "store/CppSQLite3Exception.h"

StoreTransaction::StoreTransaction(CppSQLite3DB& db) : db_(db) {
  db_.RunStatement("BEGIN IMMEDIATE");
  open_ = true;
}

StoreTransaction::~StoreTransaction() {
  if (!open_) return;
  try {
    db_.RunStatement("ROLLBACK");
  } catch (const CppSQLite3Exception& e) {
    // A failed COMMIT may have ended the transaction already.
    CLog::Instance()->Write(LOG_DEBUG, "ROLLBACK error.msg=%s", e.Message());
  }
}

void StoreTransaction::Commit() {
  db_.RunStatement("COMMIT");
  open_ = false;
}

bool RunStoreBody(CppSQLite3DB& db, const char* what, const std::function<void()>& body,
                  bool transaction) {
  if (!db.IsOpen()) return false;
  try {
    std::optional<StoreTransaction> changes;
    if (transaction) changes.emplace(db);
    body();
    if (changes) changes->Commit();
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "%s error.msg=%s", what, e.Message());
    return false;
  }
}
