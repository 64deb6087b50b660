// File rows (ftable) and their parts (mail).
#include <climits>
#include <random>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/CppSQLite3Exception.h"
#include "store/MetaStore.h"
#include "store/SqlText.h"
#include "store/StoreTransaction.h"

namespace {

constexpr int kIdDraws = 64;

// The columns every joined listing reads; which name column depends on the
// operation.
void ReadPart(const CppSQLite3Query& q, const char* name_column, FileRecord& r) {
  r.time = q.IntValue("time");
  r.name = q.TextValue(name_column);
  r.md5 = q.TextValue("md5");
  r.part = q.IntValue("part");
  r.size = q.IntValue("size");
  r.total_part = q.IntValue("total_part");
  r.total_size = q.IntValue("total_size");
  r.mail_id = q.TextValue("mail_id");
  r.file_id = q.IntValue("file_id");
}

void ReadPartWithPlace(const CppSQLite3Query& q, const char* name_column, FileRecord& r) {
  ReadPart(q, name_column, r);
  r.cache_path = q.TextValue("local_fn");
  r.folder_id = q.IntValue("folder_id");
}

}  // namespace

int MetaStore::PartCount(int total_size) {
  // An empty file still needs one part, or no listing would ever show it.
  if (total_size <= 0) return 1;
  return total_size / kPartSize + (total_size % kPartSize != 0 ? 1 : 0);
}

int MetaStore::DrawNewFileId() {
  // Random rather than max + 1: two machines adding a file before seeing
  // each other's would otherwise pick the same id and tie one machine's
  // message to the other's row.
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> draw(1, INT_MAX);
  for (int attempt = 0; attempt < kIdDraws; ++attempt) {
    int id = draw(generator);
    CppSQLite3Query q =
        account_db_.RunQuery(SqlText("select (select count(*) from mail where file_id=%d)"
                                     "+(select count(*) from ftable where file_id=%d) as used",
                                     id, id));
    if (!q.AtEnd() && q.IntValue("used") == 0) return id;
  }
  throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "no unused file id found");
}

bool MetaStore::GetNewFileId(int& id) {
  try {
    id = DrawNewFileId();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFileId error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetFileId(int folder_id, const std::string& name, int& id) {
  try {
    CppSQLite3Query q = account_db_.RunQuery(
        SqlText("select file_id from ftable where folder_id=%d and file_name='%q'", folder_id,
                name.c_str()));
    if (q.AtEnd()) return false;
    id = q.IntValue("file_id");
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFileId error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::ResolvePath(const std::string& path, int& folder_id, int& file_id) {
  std::string folder, name;
  if (!SplitPath(path, folder, name)) return false;
  if (!GetFolderId(folder, folder_id)) return false;
  return GetFileId(folder_id, name, file_id);
}

bool MetaStore::GetFileInfo(const std::string& path, FileRecord& record) {
  int folder_id = 0, file_id = 0;
  if (!ResolvePath(path, folder_id, file_id)) return false;
  try {
    CppSQLite3Query q = account_db_.RunQuery(
        SqlText("select * from mail,ftable where ftable.file_id=mail.file_id and "
                "mail.file_id=%d and mail.part=1",
                file_id));
    if (q.AtEnd()) return false;
    FileRecord r = record;
    ReadPartWithPlace(q, "name", r);
    r.stat = StateFromStored(q.IntValue("stat"));
    r.kind = RecordKind::kFilePart;
    record = r;
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFileInfo error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::GetFileByMailId(const std::string& mail_id, FileRecord& record) {
  try {
    CppSQLite3Query q = account_db_.RunQuery(
        SqlText("select * from mail,ftable where ftable.file_id=mail.file_id and mail.mail_id='%q'",
                mail_id.c_str()));
    if (!q.AtEnd()) {
      FileRecord r = record;
      ReadPartWithPlace(q, "name", r);
      record = r;
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFiles error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetFiles(const std::string& folder, std::vector<FileRecord>& list) {
  int folder_id = 0;
  if (!GetFolderId(folder, folder_id)) return false;
  try {
    CppSQLite3Query q = account_db_.RunQuery(
        SqlText("select * from mail, ftable where ftable.file_id=mail.file_id and mail.part=1 "
                "and ftable.folder_id=%d and (stat=0 or stat=1 or stat=4)",
                folder_id));
    while (!q.AtEnd()) {
      FileRecord r;
      ReadPart(q, "file_name", r);
      list.push_back(std::move(r));
      q.Next();
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFiles error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetFolderEntries(const std::string& folder, std::vector<DriveEntry>& entries) {
  std::vector<FileRecord> files;
  if (!GetFiles(folder, files)) return false;
  entries.reserve(entries.size() + files.size());
  for (FileRecord& f : files) {
    DriveEntry e;
    e.name = std::move(f.name);
    e.kind = DriveEntry::kFile;
    e.SetSize(static_cast<uint64_t>(static_cast<int64_t>(f.total_size)));
    e.SetTime(static_cast<uint32_t>(f.time));
    entries.push_back(std::move(e));
  }
  return true;
}

bool MetaStore::GetAllMailId(std::map<std::string, PartState>& stats) {
  try {
    CppSQLite3Query q = account_db_.RunQuery("select * from mail");
    while (!q.AtEnd()) {
      stats[q.TextValue("mail_id")] = StateFromStored(q.IntValue("stat"));
      q.Next();
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetAllMailId error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetPendingDownloads(std::vector<FileRecord>& list) {
  try {
    CppSQLite3Query q = account_db_.RunQuery(
        "select * from mail,ftable where ftable.file_id=mail.file_id  and mail.stat=2");
    while (!q.AtEnd()) {
      FileRecord r;
      ReadPartWithPlace(q, "file_name", r);
      list.push_back(std::move(r));
      q.Next();
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFiles error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::GetPendingUpload(std::vector<FileRecord>& list, const std::set<int>& skip) {
  try {
    CppSQLite3Query q = account_db_.RunQuery(
        "select * from mail,ftable where mail.stat=1 and mail.file_id=ftable.file_id");
    while (!q.AtEnd()) {
      FileRecord r;
      ReadPart(q, "file_name", r);
      r.folder_id = q.IntValue("folder_id");
      FolderRecord folder;
      if (skip.count(r.file_id) == 0 && GetFolder(r.folder_id, folder)) {
        r.drive_path = folder.full_name + r.name;
        list.push_back(std::move(r));
        return true;
      }
      q.Next();
    }
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetFiles error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::IsFileComplete(const FileRecord& record) {
  try {
    CppSQLite3Query q = account_db_.RunQuery(
        SqlText("select count(*) from mail where stat=0 and file_id=%d", record.file_id));
    return !q.AtEnd() && q.IntValue("count(*)") == record.total_part;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetUsedSpace error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::GetUsedSpace(int64_t& bytes) {
  try {
    CppSQLite3Query q = account_db_.RunQuery("select sum(size) from mail");
    bytes = q.AtEnd() ? 0 : q.Int64Value("sum(size)");
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "GetUsedSpace error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::AddFile(FileRecord& record, bool new_file) {
  if (new_file && record.total_size < 0) {
    // A wrapped size: the 32-bit fields cannot describe this file.
    CLog::Instance()->Write(LOG_ERROR, "AddFile error.msg=%s", "file size out of range");
    return false;
  }
  try {
    StoreTransaction transaction(account_db_);
    if (new_file) {
      record.file_id = DrawNewFileId();
      record.total_part = PartCount(record.total_size);
      for (int part = 1; part <= record.total_part; ++part) {
        record.part = part;
        record.size =
            part < record.total_part ? kPartSize : record.total_size - (part - 1) * kPartSize;
        account_db_.RunStatement(SqlText(
            "insert into mail(mail_id,file_id, name,size,time,md5,total_size,part,total_part, "
            "local_fn,stat) values('%q',%d,'%q',%d,%d,'%q',%d,%d,%d, '%q',1)",
            record.mail_id.c_str(), record.file_id, record.name.c_str(), record.size, record.time,
            record.md5.c_str(), record.total_size, record.part, record.total_part,
            record.cache_path.c_str()));
      }
      account_db_.RunStatement(
          SqlText("insert into ftable(file_id, folder_id, file_name) values(%d, %d, '%q')",
                  record.file_id, record.folder_id, record.name.c_str()));
    } else {
      CppSQLite3Table existing = account_db_.RunTable(
          SqlText("select * from mail where file_id=%d and part=%d", record.file_id, record.part));
      if (existing.RowCount() >= 1) {
        account_db_.RunStatement(
            SqlText("update mail set mail_id='%q',stat=0 where file_id=%d and part=%d",
                    record.mail_id.c_str(), record.file_id, record.part));
      } else {
        account_db_.RunStatement(SqlText(
            "insert into mail(mail_id,file_id, name,size,time,md5,total_size,part,total_part, "
            "local_fn,stat) values('%q',%d,'%q',%d,%d,'%q',%d,%d, %d,'%q',2)",
            record.mail_id.c_str(), record.file_id, record.name.c_str(), record.size, record.time,
            record.md5.c_str(), record.total_size, record.part, record.total_part,
            record.cache_path.c_str()));
      }
    }
    transaction.Commit();
    return true;
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "AddFile error.msg=%s", e.Message());
    return false;
  }
}

bool MetaStore::DelFile(const std::string& mail_id) {
  // Every part not yet uploaded has an empty mail id; deleting "by" it would
  // take all of them and a file row with them.
  if (mail_id.empty()) return true;
  try {
    StoreTransaction transaction(account_db_);
    bool found = false;
    int file_id = 0;
    {
      CppSQLite3Query q =
          account_db_.RunQuery(SqlText("select * from mail where mail_id='%q'", mail_id.c_str()));
      if (!q.AtEnd()) {
        found = true;
        file_id = q.IntValue("file_id");
      }
    }
    if (found) account_db_.RunStatement(SqlText("delete from ftable where  file_id =%d", file_id));
    account_db_.RunStatement(SqlText("delete from mail where mail_id='%q'", mail_id.c_str()));
    transaction.Commit();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "DelFile error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::FinishUpdateFile(const FileRecord& record) {
  try {
    account_db_.RunStatement(
        SqlText("update mail set stat=4 where file_id=%d and part=%d and stat=1", record.file_id,
                record.part));
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "FinishUpdateFile error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::SetFileStat(const FileRecord& record) {
  try {
    account_db_.RunStatement(SqlText("update mail set stat=%d where file_id=%d and part=%d",
                                     StoredState(record.stat), record.file_id, record.part));
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "SetFileStat error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::SetFileStatByPath(const std::string& path, PartState stat) {
  int folder_id = 0, file_id = 0;
  if (!ResolvePath(path, folder_id, file_id)) return false;
  try {
    account_db_.RunStatement(
        SqlText("update mail set stat=%d where file_id=%d", StoredState(stat), file_id));
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "FinishUpdateFile error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::RenameFile(const std::string& old_path, const std::string& new_path) {
  std::string old_folder, old_name, new_folder, new_name;
  if (!SplitPath(old_path, old_folder, old_name)) return false;
  if (!SplitPath(new_path, new_folder, new_name)) return false;
  int new_folder_id = 0;
  if (!GetFolderId(new_folder, new_folder_id)) return false;
  FileRecord file;
  if (!GetFileInfo(old_path, file)) return false;
  try {
    account_db_.RunStatement(
        SqlText("update ftable set  file_name='%q', folder_id=%d where file_id=%d",
                new_name.c_str(), new_folder_id, file.file_id));
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "FinishUpdateFile error.msg=%s", e.Message());
    return false;
  }
  return true;
}

bool MetaStore::DelPendingFiles() {
  try {
    StoreTransaction transaction(account_db_);
    std::string ids;
    {
      CppSQLite3Query q = account_db_.RunQuery("select * from mail where stat=3 and mail_id=''");
      while (!q.AtEnd()) {
        if (!ids.empty()) ids += ",";
        ids += NumberToText(static_cast<uint32_t>(q.IntValue("file_id")));
        q.Next();
      }
    }
    if (!ids.empty()) {
      account_db_.RunStatement(SqlText("delete from mail where file_id in(%s)", ids.c_str()));
      account_db_.RunStatement(SqlText("delete from ftable where file_id in(%s)", ids.c_str()));
    }
    transaction.Commit();
  } catch (const CppSQLite3Exception& e) {
    CLog::Instance()->Write(LOG_ERROR, "DelPendingFiles error.msg=%s", e.Message());
    return false;
  }
  return true;
}
