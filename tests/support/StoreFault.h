#pragma once

#include <string>

#include "store/CppSQLite3DB.h"

// While alive, every SQL text holding needle fails in every connection, as
// a full or failing disk would make it fail.
class StoreFault {
 public:
  explicit StoreFault(std::string needle) {
    CppSQLite3DB::SetFaultForTest(
        [needle](const std::string& sql) { return sql.find(needle) != std::string::npos; });
  }
  ~StoreFault() { CppSQLite3DB::SetFaultForTest(nullptr); }
  StoreFault(const StoreFault&) = delete;
  StoreFault& operator=(const StoreFault&) = delete;
};
