#pragma once

#include <functional>

#include "store/CppSQLite3DB.h"

// One immediate transaction: begun by the constructor, kept by Commit, and
// rolled back by the destructor when Commit was not reached, so a store
// operation that throws half-way leaves its tables as they were.
// Thread contract: lives on the stack of one store operation, on that
// store handle's thread.
class StoreTransaction {
 public:
  // Throws the SQL layer's exception when the transaction cannot begin.
  explicit StoreTransaction(CppSQLite3DB& db);
  ~StoreTransaction();
  StoreTransaction(const StoreTransaction&) = delete;
  StoreTransaction& operator=(const StoreTransaction&) = delete;

  // Throws the SQL layer's exception; the destructor then rolls back.
  void Commit();

 private:
  CppSQLite3DB& db_;
  bool open_ = false;
};

// The store's one catch site: every store operation runs its statements as
// body on db, inside a StoreTransaction when transaction is set. A thrown
// SQL error is logged as "<failure>.msg=<message>" and reported as false;
// true means every statement ran and the transaction committed.
bool RunStoreBody(CppSQLite3DB& db, const char* failure, const std::function<void()>& body,
                  bool transaction);
