#include "store/MailboxQueries.h"

#include <vector>

#include "log/CLog.h"
#include "platform/Locations.h"
#include "store/CachePolicy.h"
#include "store/HeldDeletions.h"
#include "store/KeptFiles.h"
#include "store/MetaStore.h"
#include "store/PartState.h"
#include "store/StoreFiles.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

void RecordUidValidity(CppSQLite3DB& db, uint32_t uidvalidity) {
  StoreStatement update(db, "update mailbox set uidvalidity=?");
  update.bind(1, static_cast<int64_t>(uidvalidity));
  update.exec();
}

// A file's lasting identity through its edits; rows from before it are
// their own origin.
void AddOriginColumn(CppSQLite3DB& db) {
  {
    StoreStatement q(db, "select count(*) as n from pragma_table_info('ftable') where name='origin'");
    if (q.executeStep() && q.getInt("n") != 0) return;
  }
  db.RunStatement("ALTER TABLE ftable ADD COLUMN origin int");
  db.RunStatement("update ftable set origin=file_id");
}

}  // namespace

MailboxQueries::MailboxQueries(const std::string& user) : MailboxQueries(DataDir(), user) {}

MailboxQueries::MailboxQueries(const std::string& data_dir, const std::string& user) {
  db_.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
  std::string path = AccountDbPath(data_dir, user);
  if (path.empty()) return;
  RunStoreBody(
      db_, "MailboxQueries open error",
      [&] {
        EnsurePrivateFile(path);
        db_.OpenDb(path);
      },
      false);
}

bool MailboxQueries::Migrate() {
  return Run(
      "MigrateMailbox error",
      [&] {
        db_.RunStatement("CREATE TABLE IF NOT EXISTS mailbox(folder text, uidvalidity int)");
        bool empty = false;
        {
          StoreStatement q(db_, "select count(*) as n from mailbox");
          empty = q.executeStep() && q.getInt("n") == 0;
        }
        if (empty) db_.RunStatement("insert into mailbox(folder, uidvalidity) values('', 0)");
        // A new file id and a lookup by name scan the tables without them,
        // a cost that grows with every file of the drive.
        db_.RunStatement("CREATE INDEX IF NOT EXISTS mail_file_id ON mail(file_id)");
        db_.RunStatement("CREATE INDEX IF NOT EXISTS mail_mail_id ON mail(mail_id)");
        db_.RunStatement("CREATE INDEX IF NOT EXISTS ftable_name ON ftable(folder_id, file_name)");
        // Each pass asks for the parts waiting for their download.
        db_.RunStatement("CREATE INDEX IF NOT EXISTS mail_stat ON mail(stat)");
        AddOriginColumn(db_);
        // Trees this machine adopted or published, by their index's token:
        // the bases of later merges (tree empty once too old to keep).
        db_.RunStatement(
            "CREATE TABLE IF NOT EXISTS index_tree(token text PRIMARY KEY, seq int, tree text)");
        HeldDeletions::Migrate(db_);
        CachePolicy::Migrate(db_);
        KeptFiles::Migrate(db_);
      },
      true);
}

bool MailboxQueries::Run(const char* failure, const std::function<void()>& body, bool transaction) {
  if (!db_.IsOpen()) return false;
  return RunStoreBody(db_, failure, body, transaction);
}

bool MailboxQueries::Read(MailboxRecord& record) {
  record = MailboxRecord{};
  return Run(
      "ReadMailbox error",
      [&] {
        {
          // A database the migration has not reached yet has nothing recorded.
          StoreStatement table(db_, "select count(*) as n from sqlite_master where name='mailbox'");
          if (!table.executeStep() || table.getInt("n") == 0) return;
        }
        StoreStatement q(db_, "select folder, uidvalidity from mailbox");
        if (!q.executeStep()) return;
        record.folder = q.getText("folder");
        record.uidvalidity = static_cast<uint32_t>(q.getInt64("uidvalidity"));
      },
      false);
}

bool MailboxQueries::SetFolder(const std::string& folder) {
  return Run(
      "SetMailboxFolder error",
      [&] {
        StoreStatement update(db_, "update mailbox set folder=?");
        update.bind(1, folder);
        update.exec();
      },
      false);
}

bool MailboxQueries::SetUidValidity(uint32_t uidvalidity) {
  return Run(
      "SetUidValidity error", [&] { RecordUidValidity(db_, uidvalidity); }, false);
}

std::string MailboxQueries::LostMailId(const std::string& old_mail_id) {
  return "lost-" + old_mail_id;
}

bool MailboxQueries::Relearn(const Found& found, const std::string& index_mail_id,
                             uint32_t uidvalidity) {
  return Run(
      "RelearnMailIds error",
      [&] {
        struct Row {
          int file_id, part;
          PartState stat;
          std::string mail_id;
        };
        std::vector<Row> rows;
        {
          StoreStatement q(db_, "select file_id, part, stat, mail_id from mail where mail_id<>''");
          while (q.executeStep())
            rows.push_back({q.getInt("file_id"), q.getInt("part"),
                            StateFromStored(q.getInt("stat")), q.getText("mail_id")});
        }
        StoreStatement done(db_, "delete from mail where file_id=? and part=? and stat=?");
        StoreStatement relearnt(db_, "update mail set mail_id=? where file_id=? and part=?");
        for (const Row& row : rows) {
          auto it = found.find({row.file_id, row.part});
          if (it == found.end() && row.stat == PartState::kDeleted) {
            done.bind(1, row.file_id);
            done.bind(2, row.part);
            done.bind(3, StoredState(PartState::kDeleted));
            done.exec();
            continue;
          }
          relearnt.bind(1, it != found.end() ? it->second : LostMailId(row.mail_id));
          relearnt.bind(2, row.file_id);
          relearnt.bind(3, row.part);
          relearnt.exec();
        }
        StoreStatement index(db_, "update task_folder set mail_id=?");
        index.bind(1, index_mail_id);
        index.exec();
        RecordUidValidity(db_, uidvalidity);
      },
      true);
}
