#include "store/CppSQLite3Exception.h"

#include <sqlite3.h>

#include <iterator>

const char* ErrorName(int code) {
  // The primary result codes, 0 (SQLITE_OK) to 25 (SQLITE_RANGE) in order.
  static const char* const kPrimary[] = {
      "SQLITE_OK", "SQLITE_ERROR", "SQLITE_INTERNAL", "SQLITE_PERM", "SQLITE_ABORT", "SQLITE_BUSY",
      "SQLITE_LOCKED", "SQLITE_NOMEM", "SQLITE_READONLY", "SQLITE_INTERRUPT", "SQLITE_IOERR",
      "SQLITE_CORRUPT", "SQLITE_NOTFOUND", "SQLITE_FULL", "SQLITE_CANTOPEN", "SQLITE_PROTOCOL",
      "SQLITE_EMPTY", "SQLITE_SCHEMA", "SQLITE_TOOBIG", "SQLITE_CONSTRAINT", "SQLITE_MISMATCH",
      "SQLITE_MISUSE", "SQLITE_NOLFS", "SQLITE_AUTH", "SQLITE_FORMAT", "SQLITE_RANGE"};
  if (code >= 0 && code < static_cast<int>(std::size(kPrimary))) return kPrimary[code];
  switch (code) {
    case 100:
      return "SQLITE_ROW";
    case 101:
      return "SQLITE_DONE";
    case CppSQLite3Exception::kLayerError:
      return "CPPSQLITE_ERROR";
    default:
      return "UNKNOWN_ERROR";
  }
}

CppSQLite3Exception::CppSQLite3Exception(int code, const char* detail)
    : code_(code),
      message_(
          sqlite3_mprintf("%s[%d]: %s", ErrorName(code), code, detail != nullptr ? detail : "")) {}

CppSQLite3Exception::CppSQLite3Exception(const CppSQLite3Exception& other)
    : code_(other.code_),
      message_(other.message_ != nullptr ? sqlite3_mprintf("%s", other.message_) : nullptr) {}

CppSQLite3Exception& CppSQLite3Exception::operator=(const CppSQLite3Exception& other) {
  if (this == &other) return *this;
  char* copy = other.message_ != nullptr ? sqlite3_mprintf("%s", other.message_) : nullptr;
  sqlite3_free(message_);
  message_ = copy;
  code_ = other.code_;
  return *this;
}

CppSQLite3Exception::~CppSQLite3Exception() { sqlite3_free(message_); }
