#include "store/HeldDeletions.h"

#include "platform/FileHelpers.h"
#include "platform/Locations.h"
#include "store/MetaStore.h"
#include "store/StoreFiles.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

const char* DecisionText(HeldDeletions::Decision d) {
  switch (d) {
    case HeldDeletions::Decision::kKeep:
      return "keep";
    case HeldDeletions::Decision::kApply:
      return "apply";
    case HeldDeletions::Decision::kNone:
      break;
  }
  return "";
}

HeldDeletions::Decision DecisionOf(const std::string& text) {
  if (text == "keep") return HeldDeletions::Decision::kKeep;
  if (text == "apply") return HeldDeletions::Decision::kApply;
  return HeldDeletions::Decision::kNone;
}

bool HasTable(CppSQLite3DB& db) {
  StoreStatement q(db, "select count(*) as n from sqlite_master where name='held_state'");
  return q.executeStep() && q.getInt("n") != 0;
}

}  // namespace

HeldDeletions::HeldDeletions(const std::string& data_dir, const std::string& user) {
  db_.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
  std::string path = AccountDbPath(data_dir, user);
  if (path.empty() || !FileExists(path)) return;
  RunStoreBody(
      db_, "HeldDeletions open error", [&] { db_.OpenDb(path); }, false);
}

void HeldDeletions::Migrate(CppSQLite3DB& db) {
  db.RunStatement(
      "CREATE TABLE IF NOT EXISTS held_deletion(path text PRIMARY KEY, size int)");
  db.RunStatement("CREATE TABLE IF NOT EXISTS held_state(reason text, decision text)");
}

bool HeldDeletions::Run(const char* failure, const std::function<void()>& body, bool transaction) {
  if (!db_.IsOpen()) return false;
  return RunStoreBody(db_, failure, body, transaction);
}

bool HeldDeletions::Hold(const std::string& reason, const std::vector<File>& files) {
  return Run(
      "HoldDeletions error",
      [&] {
        std::string decision;
        {
          StoreStatement q(db_, "select decision from held_state");
          if (q.executeStep()) decision = q.getText("decision");
        }
        db_.RunStatement("delete from held_state");
        db_.RunStatement("delete from held_deletion");
        StoreStatement state(db_, "insert into held_state(reason, decision) values(?, ?)");
        state.bind(1, reason);
        state.bind(2, decision);
        state.exec();
        StoreStatement file(db_, "insert or replace into held_deletion(path, size) values(?,?)");
        for (const File& f : files) {
          file.bind(1, f.path);
          file.bind(2, f.size);
          file.exec();
        }
      },
      true);
}

bool HeldDeletions::Read(State& state) {
  state = State();
  return Run(
      "ReadHeldDeletions error",
      [&] {
        if (!HasTable(db_)) return;
        {
          StoreStatement q(db_, "select reason, decision from held_state");
          if (!q.executeStep()) return;
          state.reason = q.getText("reason");
          state.decision = DecisionOf(q.getText("decision"));
        }
        StoreStatement q(db_, "select path, size from held_deletion order by path");
        while (q.executeStep()) state.files.push_back({q.getText("path"), q.getInt64("size")});
      },
      false);
}

bool HeldDeletions::Decide(Decision decision) {
  return Run(
      "DecideHeldDeletions error",
      [&] {
        StoreStatement update(db_, "update held_state set decision=?");
        update.bind(1, std::string(DecisionText(decision)));
        update.exec();
      },
      false);
}

bool HeldDeletions::Clear() {
  return Run(
      "ClearHeldDeletions error",
      [&] {
        if (!HasTable(db_)) return;
        db_.RunStatement("delete from held_state");
        db_.RunStatement("delete from held_deletion");
      },
      true);
}
