#include "store/StoreTransaction.h"

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
