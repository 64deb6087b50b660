#include "store/SyncQueries.h"

#include <functional>
#include <random>

#include "log/CLog.h"
#include "platform/Locations.h"
#include "store/CppSQLite3Exception.h"
#include "store/MetaStore.h"
#include "store/SqlText.h"
#include "store/StoreFiles.h"
#include "store/StoreTransaction.h"

SyncQueries::SyncQueries(const std::string& user) : SyncQueries(DataDir(), user) {}

SyncQueries::SyncQueries(const std::string& data_dir, const std::string& user) {
  db_.SetBusyTimeout(MetaStore::kBusyTimeoutMs);
  std::string path = AccountDbPath(data_dir, user);
  if (path.empty()) return;
  try {
    db_.OpenDb(path);
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "SyncQueries open error.msg=%s", e.Message());
  }
}

bool SyncQueries::Run(const char* what, const std::function<void()>& body, bool transaction) {
  return RunStoreBody(db_, what, body, transaction);
}

SyncQueries::PartRow SyncQueries::ReadPartRow(CppSQLite3Query& q) {
  PartRow row;
  row.file_id = q.IntValue("file_id");
  row.part = q.IntValue("part");
  row.stat = StateFromStored(q.IntValue("stat"));
  row.size = q.IntValue("size");
  row.total_size = q.IntValue("total_size");
  row.total_part = q.IntValue("total_part");
  row.mail_id = q.TextValue("mail_id");
  row.md5 = q.TextValue("md5");
  return row;
}

bool SyncQueries::GetAllParts(Parts& parts) {
  return Run(
      "GetAllParts",
      [&] {
        CppSQLite3Query q = db_.RunQuery("select * from mail");
        for (; !q.AtEnd(); q.Next()) {
          PartRow row = ReadPartRow(q);
          parts[{row.file_id, row.part}] = row;
        }
      },
      false);
}

bool SyncQueries::AddLearnedParts(const std::vector<FileRecord>& parts) {
  if (parts.empty()) return true;
  return Run(
      "AddFile",
      [&] {
        for (const FileRecord& r : parts) {
          db_.RunStatement(SqlText(
              "insert into mail(mail_id,file_id, name,size,time,md5,total_size,part,total_part, "
              "local_fn,stat) values('%q',%d,'%q',%d,%d,'%q',%d,%d, %d,'%q',2)",
              r.mail_id.c_str(), r.file_id, r.name.c_str(), r.size, r.time, r.md5.c_str(),
              r.total_size, r.part, r.total_part, r.cache_path.c_str()));
        }
      },
      true);
}

bool SyncQueries::MarkDownloaded(const std::vector<FileRecord>& parts) {
  return Run(
      "SetFileStat",
      [&] {
        for (const FileRecord& r : parts) {
          db_.RunStatement(SqlText("update mail set stat=0 where file_id=%d and part=%d and stat=2",
                                   r.file_id, r.part));
        }
      },
      true);
}

bool SyncQueries::SetPartMailId(int file_id, int part, const std::string& mail_id) {
  return Run(
      "SetPartMailId",
      [&] {
        db_.RunStatement(SqlText("update mail set mail_id='%q' where file_id=%d and part=%d",
                                 mail_id.c_str(), file_id, part));
      },
      false);
}

bool SyncQueries::SetFileTime(int file_id, int time) {
  return Run(
      "SetFileTime",
      [&] { db_.RunStatement(SqlText("update mail set time=%d where file_id=%d", time, file_id)); },
      false);
}

bool SyncQueries::GetPart(int file_id, int part, PartRow& row, bool& found) {
  found = false;
  return Run(
      "GetPart",
      [&] {
        CppSQLite3Query q =
            db_.RunQuery(SqlText("select * from mail where file_id=%d and part=%d", file_id, part));
        if (q.AtEnd()) return;
        found = true;
        row = ReadPartRow(q);
      },
      false);
}

bool SyncQueries::FinishUpload(int file_id, int part) {
  return Run(
      "FinishUpdateFile",
      [&] {
        db_.RunStatement(SqlText("update mail set stat=4 where file_id=%d and part=%d and stat=1",
                                 file_id, part));
        db_.RunStatement(
            "update task_folder set up_count=up_count+1, file_id=file_id+1, mail_id=''");
      },
      true);
}

bool SyncQueries::FinishUploadAt(int file_id, int part, const std::string& mail_id, bool& claimed) {
  claimed = false;
  return Run(
      "FinishUploadAt",
      [&] {
        claimed = db_.RunStatement(SqlText("update mail set stat=0, mail_id='%q' where "
                                           "file_id=%d and part=%d and stat=1",
                                           mail_id.c_str(), file_id, part)) > 0;
        if (!claimed) {
          // The refresh may have seen this very message first and claimed it.
          CppSQLite3Query q = db_.RunQuery(
              SqlText("select stat from mail where file_id=%d and part=%d and mail_id='%q' and "
                      "stat=0",
                      file_id, part, mail_id.c_str()));
          claimed = !q.AtEnd();
        }
        if (!claimed) return;
        db_.RunStatement(
            "update task_folder set up_count=up_count+1, file_id=file_id+1, mail_id=''");
      },
      true);
}

bool SyncQueries::RecordOwnIndex(int version, const std::string& uid) {
  return Run(
      "RecordOwnIndex",
      [&] {
        db_.RunStatement(
            SqlText("update task_folder set mail_id='%q' where file_id=%d", uid.c_str(), version));
      },
      false);
}

void SyncQueries::DeleteFileRows(int file_id) {
  db_.RunStatement(SqlText("delete from mail where file_id=%d and stat=1", file_id));
  db_.RunStatement(SqlText("update mail set stat=3 where file_id=%d and stat<>4", file_id));
  db_.RunStatement(SqlText("delete from ftable where file_id=%d", file_id));
}

bool SyncQueries::SetDeletedPartMailId(int file_id, int part, const std::string& mail_id) {
  return Run(
      "SetPartMailId",
      [&] {
        db_.RunStatement(
            SqlText("update mail set mail_id='%q', stat=3 where file_id=%d and part=%d",
                    mail_id.c_str(), file_id, part));
      },
      false);
}

bool SyncQueries::HasFile(int file_id, bool& exists) {
  exists = false;
  return Run(
      "HasFile",
      [&] {
        CppSQLite3Query q =
            db_.RunQuery(SqlText("select file_id from ftable where file_id=%d", file_id));
        exists = !q.AtEnd();
      },
      false);
}

bool SyncQueries::MarkFileDeleted(int file_id, bool count_change) {
  return Run(
      "MarkFileDeleted",
      [&] {
        DeleteFileRows(file_id);
        if (count_change) {
          db_.RunStatement(
              "update task_folder set up_count=up_count+1, file_id=file_id+1, mail_id=''");
        }
      },
      true);
}

SyncQueries::Adopt SyncQueries::AdoptTree(const TaskFolderRecord& judged,
                                          const std::vector<FolderRecord>& folders,
                                          const std::vector<FileRecord>& files,
                                          const std::string& uid, int version, bool count_change) {
  bool stale = false;
  bool ok = Run(
      "AdoptTree",
      [&] {
        {
          CppSQLite3Query q = db_.RunQuery("select * from task_folder");
          stale = q.AtEnd() || q.IntValue("up_count") != judged.up_count ||
                  q.IntValue("file_id") != judged.file_id ||
                  q.TextValue("mail_id") != judged.mail_id;
        }
        if (stale) return;
        db_.RunStatement("delete from folder");
        db_.RunStatement("delete from ftable");
        for (const FolderRecord& f : folders) {
          db_.RunStatement(
              SqlText("insert into folder(id, parent_id, name, full_name) values(%d,%d,'%q','%q')",
                      f.id, f.parent_id, f.name.c_str(), f.full_name.c_str()));
        }
        for (const FileRecord& f : files) {
          db_.RunStatement(
              SqlText("insert into ftable(file_id, folder_id, file_name) values(%d,%d,'%q')",
                      f.file_id, f.folder_id, f.name.c_str()));
        }
        db_.RunStatement(
            SqlText("update task_folder set mail_id='%q', file_id=%d", uid.c_str(), version));
        if (count_change) {
          db_.RunStatement(
              "update task_folder set up_count=up_count+1, file_id=file_id+1, mail_id=''");
        }
      },
      true);
  if (!ok) return Adopt::kFailed;
  return stale ? Adopt::kStale : Adopt::kDone;
}

int SyncQueries::DrawFileId() {
  static thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<int> pick(1, 0x7fffffff);
  for (;;) {
    int id = pick(random);
    CppSQLite3Query q = db_.RunQuery(SqlText(
        "select (select count(*) from mail where file_id=%d) + (select count(*) from ftable "
        "where file_id=%d) as n",
        id, id));
    if (q.IntValue("n") == 0) return id;
  }
}

bool SyncQueries::ReplaceFileContent(int old_file_id, FileRecord& record) {
  return Run(
      "ReplaceFileContent",
      [&] {
        DeleteFileRows(old_file_id);
        record.file_id = DrawFileId();
        record.total_part = MetaStore::PartCount(record.total_size);
        for (int part = 1; part <= record.total_part; ++part) {
          record.part = part;
          record.size = part < record.total_part
                            ? MetaStore::kPartSize
                            : record.total_size - (record.total_part - 1) * MetaStore::kPartSize;
          db_.RunStatement(SqlText(
              "insert into mail(mail_id,file_id, name,size,time,md5,total_size,part,total_part, "
              "local_fn,stat) values('',%d,'%q',%d,%d,'%q',%d,%d,%d, '%q',1)",
              record.file_id, record.name.c_str(), record.size, record.time, record.md5.c_str(),
              record.total_size, record.part, record.total_part, record.cache_path.c_str()));
        }
        db_.RunStatement(
            SqlText("insert into ftable(file_id, folder_id, file_name) values(%d, %d, '%q')",
                    record.file_id, record.folder_id, record.name.c_str()));
        record.stat = PartState::kAwaitingUpload;
      },
      true);
}
