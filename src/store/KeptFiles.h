#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/CppSQLite3DB.h"
#include "store/KeptRecord.h"

// The trash and the versions of one account: the kept entries (which the
// folder index carries to every machine), the retention, and the requests
// that tandrel-cli leaves for the mounted drive (restore, empty), which its
// task thread carries out. Tables the start-up migration adds (kept,
// kept_request, kept_policy); a database without them keeps nothing.
// Thread contract: one thread only, like MetaStore: each caller (the
// engine's threads, tandrel-cli from another process) makes its own
// short-lived object. Failures are logged and reported as false.
class KeptFiles {
 public:
  static constexpr int kDefaultRetentionDays = 30;
  static constexpr int kMaxVersions = 10;
  // kTrash: the file in the tree at path goes to the trash once its
  // content is up (deletions held for the user and then applied).
  enum class Action { kRestore, kEmpty, kRestoreVersion, kTrash };
  struct Request {
    Action action = Action::kRestore;
    std::string path;  // drive path; empty with kEmpty: everything
    int number = 0;    // the version, for kRestoreVersion
  };

  KeptFiles(const std::string& data_dir, const std::string& user);
  KeptFiles(const KeptFiles&) = delete;
  KeptFiles& operator=(const KeptFiles&) = delete;

  // Throw the SQL layer's exception; the caller runs them in its
  // transaction.
  static void Migrate(CppSQLite3DB& db);
  static void Read(CppSQLite3DB& db, std::vector<KeptRecord>& kept);
  static void Insert(CppSQLite3DB& db, const KeptRecord& record);
  static void Remove(CppSQLite3DB& db, int file_id);
  static void ReplaceAll(CppSQLite3DB& db, const std::vector<KeptRecord>& kept);

  // Newest first.
  bool List(std::vector<KeptRecord>& kept);
  bool Bytes(int64_t& bytes);
  bool Ask(const Request& request);
  // The requests in the order asked, taken away.
  bool TakeRequests(std::vector<Request>& requests);
  bool RetentionDays(int& days);
  bool SetRetentionDays(int days);

 private:
  bool Run(const char* failure, const std::function<void()>& body, bool transaction);

  CppSQLite3DB db_;
};
