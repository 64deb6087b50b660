// File rows (ftable) and their parts (mail).
#include <climits>
#include <random>

#include "log/CLog.h"
#include "platform/FileHelpers.h"
#include "store/CppSQLite3Exception.h"
#include "store/MetaStore.h"
#include "store/StoreRows.h"
#include "store/StoreStatement.h"
#include "store/StoreTransaction.h"

namespace {

constexpr int kIdDraws = 64;

// The columns every joined listing reads; which name column depends on the
// operation.
void ReadPart(const StoreStatement& q, const char* name_column, FileRecord& r) {
  r.time = q.getInt("time");
  r.name = q.getText(name_column);
  r.md5 = q.getText("md5");
  r.part = q.getInt("part");
  r.size = q.getInt("size");
  r.total_part = q.getInt("total_part");
  r.total_size = q.getInt64("total_size");
  r.mail_id = q.getText("mail_id");
  r.file_id = q.getInt("file_id");
}

void ReadPartWithPlace(const StoreStatement& q, const char* name_column, FileRecord& r) {
  ReadPart(q, name_column, r);
  r.cache_path = q.getText("local_fn");
  r.folder_id = q.getInt("folder_id");
}

// The part rows of a new file (its id and part count set), each waiting
// for its upload, and its ftable row.
void InsertNewFile(CppSQLite3DB& db, FileRecord& record) {
  StoreStatement insert(db, kInsertPartSql);
  for (int part = 1; part <= record.total_part; ++part) {
    record.part = part;
    record.size = MetaStore::PartSize(record.total_size, part, record.total_part);
    InsertPartRow(insert, record, record.mail_id, PartState::kAwaitingUpload);
  }
  InsertFileRow(db, record);
}

// A part learnt from its message: a row already there takes the mail id as
// cached, a missing one is added waiting for its download.
void RecordKnownPart(CppSQLite3DB& db, const FileRecord& record) {
  bool exists = false;
  {
    StoreStatement existing(db, "select * from mail where file_id=? and part=?");
    existing.bind(1, record.file_id);
    existing.bind(2, record.part);
    exists = existing.executeStep();
  }
  if (!exists) {
    StoreStatement insert(db, kInsertPartSql);
    InsertPartRow(insert, record, record.mail_id, PartState::kAwaitingDownload);
    return;
  }
  StoreStatement update(db, "update mail set mail_id=?,stat=? where file_id=? and part=?");
  update.bind(1, record.mail_id);
  update.bind(2, StoredState(PartState::kCached));
  update.bind(3, record.file_id);
  update.bind(4, record.part);
  update.exec();
}

}  // namespace

int MetaStore::PartCount(int64_t total_size) {
  // An empty file still needs one part, or no listing would ever show it.
  if (total_size <= 0) return 1;
  return static_cast<int>(total_size / kPartSize + (total_size % kPartSize != 0 ? 1 : 0));
}

int MetaStore::PartSize(int64_t total_size, int part, int total_part) {
  if (part < total_part) return kPartSize;
  return static_cast<int>(total_size - int64_t{total_part - 1} * kPartSize);
}

int MetaStore::DrawNewFileId() {
  // Random rather than max + 1: two machines adding a file before seeing
  // each other's would otherwise pick the same id and tie one machine's
  // message to the other's row.
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> draw(1, INT_MAX);
  StoreStatement used(account_db_,
                      "select (select count(*) from mail where file_id=?)"
                      "+(select count(*) from ftable where file_id=?) as used");
  for (int attempt = 0; attempt < kIdDraws; ++attempt) {
    int id = draw(generator);
    used.reset();
    used.bind(1, id);
    used.bind(2, id);
    if (used.executeStep() && used.getInt("used") == 0) return id;
  }
  throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "no unused file id found");
}

int MetaStore::DrawNewFolderId() {
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> draw(2, INT_MAX);  // 1 is the root's
  StoreStatement used(account_db_, "select count(*) as used from folder where id=?");
  for (int attempt = 0; attempt < kIdDraws; ++attempt) {
    int id = draw(generator);
    used.reset();
    used.bind(1, id);
    if (used.executeStep() && used.getInt("used") == 0) return id;
  }
  throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "no unused folder id found");
}

bool MetaStore::GetNewFileId(int& id) {
  return RunStoreBody(
      account_db_, "GetFileId error", [&] { id = DrawNewFileId(); }, false);
}

bool MetaStore::GetFileId(int folder_id, const std::string& name, int& id) {
  bool found = false;
  return RunStoreBody(
             account_db_, "GetFileId error",
             [&] {
               StoreStatement q(account_db_,
                                "select file_id from ftable where folder_id=? and file_name=?");
               q.bind(1, folder_id);
               q.bind(2, name);
               if (!q.executeStep()) return;
               id = q.getInt("file_id");
               found = true;
             },
             false) &&
         found;
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
  bool found = false;
  return RunStoreBody(
             account_db_, "GetFileInfo error",
             [&] {
               StoreStatement q(account_db_,
                                "select * from mail,ftable where ftable.file_id=mail.file_id and "
                                "mail.file_id=? and mail.part=1");
               q.bind(1, file_id);
               if (!q.executeStep()) return;
               FileRecord r = record;
               ReadPartWithPlace(q, "name", r);
               r.stat = StateFromStored(q.getInt("stat"));
               r.kind = RecordKind::kFilePart;
               record = r;
               found = true;
             },
             false) &&
         found;
}

bool MetaStore::GetFileByMailId(const std::string& mail_id, FileRecord& record) {
  return RunStoreBody(
      account_db_, "GetFiles error",
      [&] {
        StoreStatement q(account_db_,
                         "select * from mail,ftable where ftable.file_id=mail.file_id and "
                         "mail.mail_id=?");
        q.bind(1, mail_id);
        if (!q.executeStep()) return;
        FileRecord r = record;
        ReadPartWithPlace(q, "name", r);
        record = r;
      },
      false);
}

bool MetaStore::GetFiles(const std::string& folder, std::vector<FileRecord>& list, bool awaiting) {
  int folder_id = 0;
  if (!GetFolderId(folder, folder_id)) return false;
  return RunStoreBody(
      account_db_, "GetFiles error",
      [&] {
        StoreStatement q(account_db_,
                         "select * from mail, ftable where ftable.file_id=mail.file_id and "
                         "mail.part=1 and ftable.folder_id=? and "
                         "(stat=? or stat=? or stat=? or stat=?)");
        q.bind(1, folder_id);
        q.bind(2, StoredState(PartState::kCached));
        q.bind(3, StoredState(PartState::kAwaitingUpload));
        q.bind(4, StoredState(PartState::kAppended));
        q.bind(5, StoredState(awaiting ? PartState::kAwaitingDownload : PartState::kCached));
        while (q.executeStep()) {
          FileRecord r;
          ReadPart(q, "file_name", r);
          list.push_back(std::move(r));
        }
      },
      false);
}

bool MetaStore::GetFolderEntries(const std::string& folder, std::vector<DriveEntry>& entries,
                                 bool awaiting) {
  std::vector<FileRecord> files;
  if (!GetFiles(folder, files, awaiting)) return false;
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
  return RunStoreBody(
      account_db_, "GetAllMailId error",
      [&] {
        StoreStatement q(account_db_, "select * from mail");
        while (q.executeStep()) stats[q.getText("mail_id")] = StateFromStored(q.getInt("stat"));
      },
      false);
}

bool MetaStore::AccountVersion(int64_t& version) {
  return RunStoreBody(
      account_db_, "data_version error",
      [&] {
        StoreStatement q(account_db_, "PRAGMA data_version");
        if (!q.executeStep())
          throw CppSQLite3Exception(CppSQLite3Exception::kLayerError, "no data_version");
        version = q.getInt64(0);
      },
      false);
}

bool MetaStore::GetPendingDownloads(std::vector<FileRecord>& list) {
  return RunStoreBody(
      account_db_, "GetFiles error",
      [&] {
        StoreStatement q(account_db_,
                         "select * from mail,ftable where ftable.file_id=mail.file_id and "
                         "mail.stat=?");
        q.bind(1, StoredState(PartState::kAwaitingDownload));
        while (q.executeStep()) {
          FileRecord r;
          ReadPartWithPlace(q, "file_name", r);
          list.push_back(std::move(r));
        }
      },
      false);
}

bool MetaStore::GetPendingUpload(std::vector<FileRecord>& list, const std::set<int>& skip,
                                 size_t limit) {
  return RunStoreBody(
      account_db_, "GetFiles error",
      [&] {
        StoreStatement q(account_db_,
                         "select * from mail,ftable where mail.stat=? and "
                         "mail.file_id=ftable.file_id");
        q.bind(1, StoredState(PartState::kAwaitingUpload));
        while (q.executeStep()) {
          FileRecord r;
          ReadPart(q, "file_name", r);
          r.folder_id = q.getInt("folder_id");
          FolderRecord folder;
          if (skip.count(r.file_id) == 0 && GetFolder(r.folder_id, folder)) {
            r.drive_path = folder.full_name + r.name;
            list.push_back(std::move(r));
            if (list.size() >= limit) return;
          }
        }
      },
      false);
}

bool MetaStore::IsFileComplete(const FileRecord& record) {
  bool complete = false;
  return RunStoreBody(
             account_db_, "GetUsedSpace error",
             [&] {
               StoreStatement q(account_db_,
                                "select count(*) from mail where stat=? and file_id=?");
               q.bind(1, StoredState(PartState::kCached));
               q.bind(2, record.file_id);
               complete = q.executeStep() && q.getInt("count(*)") == record.total_part;
             },
             false) &&
         complete;
}

bool MetaStore::GetUsedSpace(int64_t& bytes) {
  return RunStoreBody(
      account_db_, "GetUsedSpace error",
      [&] {
        StoreStatement q(account_db_, "select sum(size) from mail");
        bytes = q.executeStep() ? q.getInt64("sum(size)") : 0;
      },
      false);
}

bool MetaStore::AddFile(FileRecord& record, bool new_file) {
  if (new_file && record.total_size < 0) {
    // A wrapped size: the 32-bit fields cannot describe this file.
    CLog::Instance()->Write(LOG_ERROR, "AddFile error.msg=%s", "file size out of range");
    return false;
  }
  return RunStoreBody(
      account_db_, "AddFile error",
      [&] {
        if (!new_file) {
          RecordKnownPart(account_db_, record);
          return;
        }
        record.file_id = DrawNewFileId();
        record.total_part = PartCount(record.total_size);
        InsertNewFile(account_db_, record);
      },
      true);
}

bool MetaStore::DelFile(const std::string& mail_id, bool keep_entry) {
  // Every part not yet uploaded has an empty mail id; deleting "by" it would
  // take all of them and a file row with them.
  if (mail_id.empty()) return true;
  return RunStoreBody(
      account_db_, "DelFile error",
      [&] {
        bool found = false;
        int file_id = 0;
        {
          StoreStatement q(account_db_, "select * from mail where mail_id=?");
          q.bind(1, mail_id);
          if (q.executeStep()) {
            found = true;
            file_id = q.getInt("file_id");
          }
        }
        if (found && !keep_entry) {
          StoreStatement file(account_db_, "delete from ftable where file_id=?");
          file.bind(1, file_id);
          file.exec();
        }
        StoreStatement parts(account_db_, "delete from mail where mail_id=?");
        parts.bind(1, mail_id);
        parts.exec();
      },
      true);
}

bool MetaStore::FinishUpdateFile(const FileRecord& record) {
  return RunStoreBody(
      account_db_, "FinishUpdateFile error",
      [&] {
        StoreStatement update(account_db_,
                              "update mail set stat=? where file_id=? and part=? and stat=?");
        update.bind(1, StoredState(PartState::kAppended));
        update.bind(2, record.file_id);
        update.bind(3, record.part);
        update.bind(4, StoredState(PartState::kAwaitingUpload));
        update.exec();
      },
      false);
}

bool MetaStore::SetFileStat(const FileRecord& record) {
  return RunStoreBody(
      account_db_, "SetFileStat error",
      [&] {
        StoreStatement update(account_db_, "update mail set stat=? where file_id=? and part=?");
        update.bind(1, StoredState(record.stat));
        update.bind(2, record.file_id);
        update.bind(3, record.part);
        update.exec();
      },
      false);
}

bool MetaStore::SetFileStatByPath(const std::string& path, PartState stat) {
  int folder_id = 0, file_id = 0;
  if (!ResolvePath(path, folder_id, file_id)) return false;
  return RunStoreBody(
      account_db_, "FinishUpdateFile error",
      [&] {
        StoreStatement update(account_db_, "update mail set stat=? where file_id=?");
        update.bind(1, StoredState(stat));
        update.bind(2, file_id);
        update.exec();
      },
      false);
}

bool MetaStore::RenameFile(const std::string& old_path, const std::string& new_path) {
  std::string old_folder, old_name, new_folder, new_name;
  if (!SplitPath(old_path, old_folder, old_name)) return false;
  if (!SplitPath(new_path, new_folder, new_name)) return false;
  int new_folder_id = 0;
  if (!GetFolderId(new_folder, new_folder_id)) return false;
  FileRecord file;
  if (!GetFileInfo(old_path, file)) return false;
  return RunStoreBody(
      account_db_, "FinishUpdateFile error",
      [&] {
        // An entry that an adopted index named but no part of which is here
        // is invisible on the drive: the file moved over its name replaces
        // it, and two entries never share a name.
        StoreStatement ghost(account_db_,
                             "delete from ftable where folder_id=? and file_name=? and file_id<>? "
                             "and file_id not in (select file_id from mail)");
        ghost.bind(1, new_folder_id);
        ghost.bind(2, new_name);
        ghost.bind(3, file.file_id);
        ghost.exec();
        StoreStatement update(account_db_,
                              "update ftable set file_name=?, folder_id=? where file_id=?");
        update.bind(1, new_name);
        update.bind(2, new_folder_id);
        update.bind(3, file.file_id);
        update.exec();
      },
      false);
}

bool MetaStore::DelPendingFiles() {
  return RunStoreBody(
      account_db_, "DelPendingFiles error",
      [&] {
        // Files deleted before any of their parts went up: nothing of them
        // is in the mailbox, so every row of theirs goes.
        std::set<int> ids;
        {
          StoreStatement q(account_db_, "select * from mail where stat=? and mail_id=''");
          q.bind(1, StoredState(PartState::kDeleted));
          while (q.executeStep()) ids.insert(q.getInt("file_id"));
        }
        StoreStatement parts(account_db_, "delete from mail where file_id=?");
        StoreStatement file(account_db_, "delete from ftable where file_id=?");
        for (int id : ids) {
          parts.bind(1, id);
          parts.exec();
          file.bind(1, id);
          file.exec();
        }
      },
      true);
}
