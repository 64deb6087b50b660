// Build tool: makes the template main database from the schema file.
// Usage: tandrel_make_db SCHEMA.sql OUTPUT.db
#include <sqlite3.h>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SCHEMA.sql OUTPUT.db\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  std::ostringstream sql;
  sql << in.rdbuf();
  // Built beside the target and renamed, so a failed run leaves no half file.
  std::string temp = std::string(argv[2]) + ".part";
  std::remove(temp.c_str());
  sqlite3* db = nullptr;
  int rc = sqlite3_open(temp.c_str(), &db);
  char* error = nullptr;
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.str().c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "%s: %s\n", argv[2], error != nullptr ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    sqlite3_close(db);
    std::remove(temp.c_str());
    return 1;
  }
  sqlite3_close(db);
  if (std::rename(temp.c_str(), argv[2]) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
