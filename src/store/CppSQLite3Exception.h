#pragma once

// The error of the SQL layer: an engine result code (or 1000 for the layer's
// own errors) and a ready-made message "NAME[code]: detail".
// Thread contract: a value; copies are independent (the message is
// duplicated), so an exception may be handed between threads by copy.

// The text that opens every message for the given code ("UNKNOWN_ERROR" for
// codes without a name).
const char* ErrorName(int code);

class CppSQLite3Exception {
 public:
  static constexpr int kLayerError = 1000;

  // detail may be null (read as empty). The caller keeps ownership of it.
  CppSQLite3Exception(int code, const char* detail);
  CppSQLite3Exception(const CppSQLite3Exception& other);
  CppSQLite3Exception& operator=(const CppSQLite3Exception& other);
  virtual ~CppSQLite3Exception();

  int Code() const { return code_; }
  // Never null: an exception without a message reads as "".
  const char* Message() const { return message_ != nullptr ? message_ : ""; }

 private:
  int code_;
  char* message_;  // from sqlite3_mprintf, released with sqlite3_free
};
