#include "store/StoreTransaction.h"

#include <optional>

#include "log/CLog.h"
#include "store/CppSQLite3Exception.h"

StoreTransaction::StoreTransaction(CppSQLite3DB& db) : db_(db) {
  db_.RunStatement("BEGIN IMMEDIATE");
  open_ = true;
}

StoreTransaction::~StoreTransaction() {
  if (open_) db_.RollBack();
}

void StoreTransaction::Commit() {
  db_.RunStatement("COMMIT");
  open_ = false;
}

bool RunStoreBody(CppSQLite3DB& db, const char* failure, const std::function<void()>& body,
                  bool transaction) {
  try {
    std::optional<StoreTransaction> changes;
    if (transaction) changes.emplace(db);
    body();
    if (changes) changes->Commit();
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "%s.msg=%s", failure, e.Message());
    return false;
  }
}
