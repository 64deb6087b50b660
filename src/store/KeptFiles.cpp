#include "store/KeptFiles.h"

#include <algorithm>

#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/StoreFiles.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

const char* ActionText(KeptFiles::Action action) {
  switch (action) {
    case KeptFiles::Action::kEmpty:
      return "empty";
    case KeptFiles::Action::kRestoreVersion:
      return "restore-version";
    case KeptFiles::Action::kTrash:
      return "trash";
    case KeptFiles::Action::kRestore:
      break;
  }
  return "restore";
}

KeptFiles::Action ActionOf(const std::string& text) {
  if (text == "empty") return KeptFiles::Action::kEmpty;
  if (text == "restore-version") return KeptFiles::Action::kRestoreVersion;
  if (text == "trash") return KeptFiles::Action::kTrash;
  return KeptFiles::Action::kRestore;
}

}  // namespace

KeptFiles::KeptFiles(const std::string& data_dir, const std::string& user) {
  db_.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
  std::string path = AccountDbPath(data_dir, user);
  if (path.empty() || !FileExists(path)) return;
  RunStoreBody(
      db_, "KeptFiles open error", [&] { db_.OpenDb(path); }, false);
}

void KeptFiles::Migrate(CppSQLite3DB& db) {
  db.RunStatement(
      "CREATE TABLE IF NOT EXISTS kept(file_id INTEGER PRIMARY KEY, origin int, kind int, at int, "
      "size int, total_part int, machine text, path text)");
  db.RunStatement(
      "CREATE TABLE IF NOT EXISTS kept_request(seq INTEGER PRIMARY KEY AUTOINCREMENT, "
      "action text, path text, number int)");
  db.RunStatement("CREATE TABLE IF NOT EXISTS kept_policy(retention_days int)");
}

void KeptFiles::Read(CppSQLite3DB& db, std::vector<KeptRecord>& kept) {
  kept.clear();
  StoreStatement q(db, "select * from kept order by at desc, file_id");
  while (q.executeStep()) {
    KeptRecord r;
    r.file_id = q.getInt("file_id");
    r.origin = q.getInt("origin");
    r.kind = q.getInt("kind") == static_cast<int>(KeptKind::kVersion) ? KeptKind::kVersion
                                                                      : KeptKind::kTrash;
    r.at = q.getInt64("at");
    r.size = q.getInt64("size");
    r.total_part = q.getInt("total_part");
    r.machine = q.getText("machine");
    r.path = q.getText("path");
    kept.push_back(std::move(r));
  }
}

void KeptFiles::Insert(CppSQLite3DB& db, const KeptRecord& r) {
  StoreStatement insert(db,
                        "insert or replace into kept(file_id, origin, kind, at, size, total_part, "
                        "machine, path) values(?,?,?,?,?,?,?,?)");
  insert.bind(1, r.file_id);
  insert.bind(2, r.origin);
  insert.bind(3, static_cast<int>(r.kind));
  insert.bind(4, r.at);
  insert.bind(5, r.size);
  insert.bind(6, r.total_part);
  insert.bind(7, r.machine);
  insert.bind(8, r.path);
  insert.exec();
}

void KeptFiles::Remove(CppSQLite3DB& db, int file_id) {
  StoreStatement remove(db, "delete from kept where file_id=?");
  remove.bind(1, file_id);
  remove.exec();
}

void KeptFiles::ReplaceAll(CppSQLite3DB& db, const std::vector<KeptRecord>& kept) {
  db.RunStatement("delete from kept");
  for (const KeptRecord& r : kept) Insert(db, r);
}

bool KeptFiles::Run(const char* failure, const std::function<void()>& body, bool transaction) {
  if (!db_.IsOpen()) return false;
  return RunStoreBody(db_, failure, body, transaction);
}

bool KeptFiles::List(std::vector<KeptRecord>& kept) {
  return Run(
      "KeptFiles list error", [&] { Read(db_, kept); }, false);
}

bool KeptFiles::Bytes(int64_t& bytes) {
  bytes = 0;
  return Run(
      "KeptFiles bytes error",
      [&] {
        StoreStatement q(db_, "select coalesce(sum(size), 0) as n from kept");
        if (q.executeStep()) bytes = q.getInt64("n");
      },
      false);
}

bool KeptFiles::Ask(const Request& request) {
  return Run(
      "KeptFiles request error",
      [&] {
        StoreStatement insert(db_, "insert into kept_request(action, path, number) values(?,?,?)");
        insert.bind(1, ActionText(request.action));
        insert.bind(2, request.path);
        insert.bind(3, request.number);
        insert.exec();
      },
      false);
}

bool KeptFiles::TakeRequests(std::vector<Request>& requests) {
  requests.clear();
  // Asked at every task step: a write transaction only when there is
  // something to take.
  bool waiting = false;
  if (!Run(
          "KeptFiles requests error",
          [&] {
            waiting = StoreStatement(db_, "select 1 from kept_request limit 1").executeStep();
          },
          false))
    return false;
  if (!waiting) return true;
  return Run(
      "KeptFiles requests error",
      [&] {
        StoreStatement q(db_, "select * from kept_request order by seq");
        while (q.executeStep())
          requests.push_back(
              {ActionOf(q.getText("action")), q.getText("path"), q.getInt("number")});
        if (!requests.empty()) db_.RunStatement("delete from kept_request");
      },
      true);
}

bool KeptFiles::RetentionDays(int& days) {
  days = kDefaultRetentionDays;
  return Run(
      "KeptFiles policy error",
      [&] {
        StoreStatement q(db_, "select retention_days from kept_policy");
        if (q.executeStep() && q.getInt("retention_days") > 0) days = q.getInt("retention_days");
      },
      false);
}

bool KeptFiles::SetRetentionDays(int days) {
  return Run(
      "KeptFiles policy error",
      [&] {
        db_.RunStatement("delete from kept_policy");
        StoreStatement insert(db_, "insert into kept_policy(retention_days) values(?)");
        insert.bind(1, std::max(1, days));
        insert.exec();
      },
      true);
}
