#include "store/MailboxQueries.h"

#include <vector>

#include "log/CLog.h"
#include "platform/Locations.h"
#include "store/CppSQLite3Exception.h"
#include "store/MetaStore.h"
#include "store/PartState.h"
#include "store/SqlText.h"
#include "store/StoreFiles.h"
#include "store/StoreTransaction.h"

MailboxQueries::MailboxQueries(const std::string& user) : MailboxQueries(DataDir(), user) {}

MailboxQueries::MailboxQueries(const std::string& data_dir, const std::string& user) {
  db_.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
  std::string path = AccountDbPath(data_dir, user);
  if (path.empty()) return;
  try {
    EnsurePrivateFile(path);
    db_.OpenDb(path);
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "MailboxQueries open error.msg=%s", e.Message());
  }
}

bool MailboxQueries::Migrate() {
  return Run(
      "MigrateMailbox",
      [&] {
        db_.RunStatement("CREATE TABLE IF NOT EXISTS mailbox(folder text, uidvalidity int)");
        CppSQLite3Query q = db_.RunQuery("select count(*) as n from mailbox");
        if (q.IntValue("n") == 0)
          db_.RunStatement("insert into mailbox(folder, uidvalidity) values('', 0)");
        // A new file id and a lookup by name scan the tables without them,
        // a cost that grows with every file of the drive.
        db_.RunStatement("CREATE INDEX IF NOT EXISTS mail_file_id ON mail(file_id)");
        db_.RunStatement("CREATE INDEX IF NOT EXISTS mail_mail_id ON mail(mail_id)");
        db_.RunStatement("CREATE INDEX IF NOT EXISTS ftable_name ON ftable(folder_id, file_name)");
      },
      true);
}

bool MailboxQueries::Run(const char* what, const std::function<void()>& body, bool transaction) {
  return RunStoreBody(db_, what, body, transaction);
}

bool MailboxQueries::Read(MailboxRecord& record) {
  record = MailboxRecord{};
  return Run(
      "ReadMailbox",
      [&] {
        // A database the migration has not reached yet has nothing recorded.
        if (db_.RunQuery("select count(*) as n from sqlite_master where name='mailbox'")
                .IntValue("n") == 0)
          return;
        CppSQLite3Query q = db_.RunQuery("select folder, uidvalidity from mailbox");
        if (q.AtEnd()) return;
        record.folder = q.TextValue("folder");
        record.uidvalidity = static_cast<uint32_t>(q.Int64Value("uidvalidity"));
      },
      false);
}

bool MailboxQueries::SetFolder(const std::string& folder) {
  return Run(
      "SetMailboxFolder",
      [&] { db_.RunStatement(SqlText("update mailbox set folder='%q'", folder.c_str())); }, false);
}

bool MailboxQueries::SetUidValidity(uint32_t uidvalidity) {
  return Run(
      "SetUidValidity",
      [&] {
        db_.RunStatement(SqlText("update mailbox set uidvalidity=%lld",
                                 static_cast<long long>(uidvalidity)));
      },
      false);
}

std::string MailboxQueries::LostMailId(const std::string& old_mail_id) {
  return "lost-" + old_mail_id;
}

bool MailboxQueries::Relearn(const Found& found, const std::string& index_mail_id,
                             uint32_t uidvalidity) {
  return Run(
      "RelearnMailIds",
      [&] {
        struct Row {
          int file_id, part, stat;
          std::string mail_id;
        };
        std::vector<Row> rows;
        {
          CppSQLite3Query q =
              db_.RunQuery("select file_id, part, stat, mail_id from mail where mail_id<>''");
          for (; !q.AtEnd(); q.Next())
            rows.push_back({q.IntValue("file_id"), q.IntValue("part"), q.IntValue("stat"),
                            q.TextValue("mail_id")});
        }
        for (const Row& row : rows) {
          auto it = found.find({row.file_id, row.part});
          if (it == found.end() && StateFromStored(row.stat) == PartState::kDeleted) {
            db_.RunStatement(SqlText("delete from mail where file_id=%d and part=%d and stat=%d",
                                     row.file_id, row.part, row.stat));
            continue;
          }
          std::string mail_id = it != found.end() ? it->second : LostMailId(row.mail_id);
          db_.RunStatement(SqlText("update mail set mail_id='%q' where file_id=%d and part=%d",
                                   mail_id.c_str(), row.file_id, row.part));
        }
        db_.RunStatement(
            SqlText("update task_folder set mail_id='%q'", index_mail_id.c_str()));
        db_.RunStatement(SqlText("update mailbox set uidvalidity=%lld",
                                 static_cast<long long>(uidvalidity)));
      },
      true);
}
